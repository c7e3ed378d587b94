/* QUORVANE recording control: C API.
 *
 * The control records the speaker from the default capture device until
 * silence ends the utterance (or the time limit, or qv_record_stop_record),
 * assesses the recording against the expected sentence and reports an
 * integer score through the finish callback.
 *
 *   qv_record* rec = qv_record_create();
 *   unsigned cookie;
 *   qv_record_advise(rec, on_finish, user, &cookie);
 *   qv_record_start_record_utf8(rec, 5, "...");   // returns at once
 *   ...on_finish(score, user) is called once the job has ended...
 *   qv_record_destroy(rec);
 *
 * Threads. Without a window the callback runs on the control's job thread.
 * After qv_record_create_window() on some thread, the callback runs on that
 * thread, inside qv_pump_messages() called by it.
 *
 * Files. qv_record_create() makes the installation folder the current
 * directory of the process: $QUORVANE_HOME when set, else
 * $ProgramFiles/QUORVANE. Below it the control reads
 * telvoDataChinese/recording.prm and telvoDataChinese/chinese.sa.prm and
 * writes telvoDataChinese/output/{activex_wav.wav,activex_txt.txt,
 * QUORVANE_LOG.txt}.
 *
 * Devices. QUORVANE_WAVEIN selects the capture device ("file:PATH" plays a
 * WAV file in real time, "file-fast:PATH" as fast as it is consumed; unset:
 * the default ALSA device) and QUORVANE_MIXER the mixer (see
 * platform/mixer.h).
 */
#ifndef QUORVANE_CONTROL_H
#define QUORVANE_CONTROL_H

#include <wchar.h>

#include "quorvane_version.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Return codes. */
#define QV_OK 0
#define QV_E_FAIL (-1)         /* the mixer or its wave-in line cannot be reached */
#define QV_E_POINTER (-2)      /* a required pointer argument is NULL */
#define QV_E_THREAD (-3)       /* the job thread could not be created */
#define QV_E_NOCONNECTION (-4) /* unknown callback cookie */
#define QV_E_ARGUMENT (-5)     /* malformed UTF-8 sentence */

/* Score reported when a job produced none (set-up, parameter or engine error). */
#define QV_NO_SCORE (-100000)

typedef struct qv_record qv_record; /* opaque */

/* Called once per job with its score (truncated toward zero) or QV_NO_SCORE. */
typedef void (*qv_finish_recog_fn)(int score, void* user);

/* Creates a control; NULL when out of memory. The caller owns it. */
QV_API qv_record* qv_record_create(void);
/* Destroys a control (NULL is ignored). A running recording is stopped and
 * the job is waited for; from inside the control's own callback the job is
 * left to end by itself. */
QV_API void qv_record_destroy(qv_record* rec);

/* Recording level 0...100 into *level, or -1 when no volume control was
 * found; QV_E_FAIL when the mixer cannot be reached. */
QV_API int qv_record_get_mic_volume(qv_record* rec, int* level);
/* The last job's score (0 before the first job). */
QV_API int qv_record_get_score(qv_record* rec, int* score);
/* Starts a job recording for at most record_seconds (1...3600; other values
 * end the job with QV_NO_SCORE). Does nothing while a job is running. */
QV_API int qv_record_start_record(qv_record* rec, int record_seconds, const wchar_t* sentence);
/* The same with a UTF-8 sentence; QV_E_ARGUMENT when it is not valid UTF-8. */
QV_API int qv_record_start_record_utf8(qv_record* rec, int record_seconds, const char* sentence);
/* Ends a running recording at its next 20 ms frame; the job goes on to score it. */
QV_API int qv_record_stop_record(qv_record* rec);
/* Nonzero while a job is running. */
QV_API int qv_record_is_busy(qv_record* rec);

/* Registers a finish callback; callbacks run in registration order. *cookie
 * identifies it for qv_record_unadvise. */
QV_API int qv_record_advise(qv_record* rec, qv_finish_recog_fn fn, void* user, unsigned* cookie);
QV_API int qv_record_unadvise(qv_record* rec, unsigned cookie);

/* Gives the control a window owned by the calling thread: callbacks are then
 * delivered on this thread by qv_pump_messages. */
QV_API int qv_record_create_window(qv_record* rec);
/* Dispatches the calling thread's messages for up to timeout_ms
 * milliseconds; returns how many were dispatched. */
QV_API int qv_pump_messages(int timeout_ms);

#ifdef __cplusplus
}
#endif

#endif /* QUORVANE_CONTROL_H */
