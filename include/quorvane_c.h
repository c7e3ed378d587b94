/* QUORVANE engine: C API over quorvane::Engine (quorvane_engine.h).
 *
 *   qv_engine* eng = NULL;
 *   char* err = NULL;
 *   if (qv_engine_open("/usr/share/quorvane/telvoDataChinese", &eng, &err) != QV_STATUS_OK) {
 *       fprintf(stderr, "%s\n", err); qv_string_free(err); return 1;
 *   }
 *   qv_input* in = qv_input_create();
 *   qv_input_set_audio_file(in, "a.wav");
 *   qv_input_set_text(in, "你好");
 *   char* json = NULL;
 *   int st = qv_engine_assess(eng, in, &json);    // json: the result or the error
 *   puts(json);
 *   qv_string_free(json);
 *   qv_input_destroy(in);
 *   qv_engine_close(eng);
 *
 * Text. Every string in and out is UTF-8 and NUL-terminated.
 *
 * Results. A call's result is one JSON document (docs/result-schema.md):
 * the result on QV_STATUS_OK, otherwise an object {"schema", "version",
 * "error": {"kind", "message"}}. It is allocated by the library; the caller
 * owns it and frees it with qv_string_free. On QV_STATUS_INVALID_ARGUMENT
 * for a NULL output pointer nothing is allocated.
 *
 * Errors. No function lets an exception or a signal out: every failure is a
 * status code. Out of memory is QV_STATUS_INTERNAL.
 *
 * Threads. qv_engine_assess and qv_engine_recognise may run at once on one
 * engine from several threads, each with its own qv_input (an input is not
 * shared between concurrent calls). qv_engine_close must not overlap with
 * calls on that engine. The log callback runs on the calling thread, during
 * the call.
 */
#ifndef QUORVANE_C_H
#define QUORVANE_C_H

#include <stddef.h>
#include <stdint.h>

#include "quorvane_version.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes; the error kinds match quorvane::ErrorKind. */
#define QV_STATUS_OK 0
#define QV_STATUS_INVALID_ARGUMENT 1 /* NULL handle or pointer, bad value */
#define QV_STATUS_UNREADABLE_AUDIO 2
#define QV_STATUS_TOO_QUIET 3
#define QV_STATUS_CLIPPED 4
#define QV_STATUS_NO_SPEECH 5
#define QV_STATUS_TEXT_NOT_COVERED 6
#define QV_STATUS_DATA 7     /* the data set or the parameters are unusable */
#define QV_STATUS_INTERNAL 8 /* anything else, out of memory included */

/* Log levels of qv_log_fn. */
#define QV_LOG_DEBUG 0
#define QV_LOG_INFO 1
#define QV_LOG_WARNING 2
#define QV_LOG_ERROR 3

typedef struct qv_engine qv_engine; /* opaque */
typedef struct qv_input qv_input;   /* opaque */

/* One log line (UTF-8, no line feed), valid during the call only. */
typedef void (*qv_log_fn)(int level, const char* line, void* user);

/* "0.2.0": the version of the loaded library. */
QV_API const char* qv_version(void);
/* Stable name of a status, e.g. "ok", "unreadable audio"; "unknown" otherwise. */
QV_API const char* qv_status_name(int status);
/* Frees a string returned by the library (NULL is ignored). */
QV_API void qv_string_free(char* s);

/* Loads a data folder (or a recognition parameter file) once. On success
 * *engine is the caller's, to close with qv_engine_close. On failure *engine
 * is NULL and, when `error` is not NULL, *error is the message (free with
 * qv_string_free). */
QV_API int qv_engine_open(const char* path, qv_engine** engine, char** error);
/* Closes an engine (NULL is ignored). */
QV_API void qv_engine_close(qv_engine* engine);

/* A request; NULL when out of memory. Defaults: no audio, no text, no
 * output folder (nothing written), no log. */
QV_API qv_input* qv_input_create(void);
QV_API void qv_input_destroy(qv_input* input);
/* 16-bit mono samples at `rate` Hz, copied. */
QV_API int qv_input_set_samples(qv_input* input, const int16_t* samples, size_t count, int rate);
/* Audio file (WAV, raw 16 kHz PCM or FLV), used when no samples are set. */
QV_API int qv_input_set_audio_file(qv_input* input, const char* path);
/* Expected sentence, or candidate sentences one per line. */
QV_API int qv_input_set_text(qv_input* input, const char* utf8);
/* Adds one syllable string, e.g. "ni3-hao3" (optionally "\t" and a line index). */
QV_API int qv_input_add_syllables(qv_input* input, const char* syllables);
/* Adds a parameter override for this request. */
QV_API int qv_input_add_override(qv_input* input, const char* key, const char* value);
/* Folder for diagnostic files; NULL or "" for none. */
QV_API int qv_input_set_output_dir(qv_input* input, const char* dir);
/* Log callback of this request; NULL for none. */
QV_API int qv_input_set_log(qv_input* input, qv_log_fn fn, void* user);

/* Assesses / recognises; *json receives the result or error document. */
QV_API int qv_engine_assess(const qv_engine* engine, const qv_input* input, char** json);
QV_API int qv_engine_recognise(const qv_engine* engine, const qv_input* input, char** json);

#ifdef __cplusplus
}
#endif

#endif /* QUORVANE_C_H */
