/* QUORVANE version and symbol export.
 *
 * QUORVANE_VERSION_* name the release of the headers; quorvane_version()
 * (quorvane_c.h) that of the library actually loaded. The shared library's
 * SONAME carries the major version: a program built against one major
 * version runs with any library of the same major version.
 */
#ifndef QUORVANE_VERSION_H
#define QUORVANE_VERSION_H

#define QUORVANE_VERSION_MAJOR 0
#define QUORVANE_VERSION_MINOR 2
#define QUORVANE_VERSION_PATCH 0
#define QUORVANE_VERSION "0.2.0"

/* Marks the public API; everything else in the shared library is hidden. */
#if defined(__GNUC__)
#define QV_API __attribute__((visibility("default")))
#else
#define QV_API
#endif

#endif /* QUORVANE_VERSION_H */
