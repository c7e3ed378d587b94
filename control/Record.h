// CRecord: the recording-and-assessment control.
//
// A host creates the control, connects event sinks and calls StartRecord with
// a time limit and the sentence to be read. A job thread records the speaker
// (silence-limited capture), saves "activex_wav.wav", writes the sentence to
// "activex_txt.txt", assesses the recording with the engine and reports the
// integer score through Finish_Recog. Every step is appended to the control
// log "QUORVANE_LOG.txt".
//
// Event thread: a host that gives the control a window (CreateControlWindow
// on the host's thread, which then dispatches its messages) receives
// Finish_Recog on that thread after the job has ended; otherwise the job
// fires it on its own thread. A job that cannot score (bad parameter files,
// no recording device, an engine error) reports kNoScore (-100000).
//
// All data paths are relative to the installation folder, which the
// constructor makes the current directory: $QUORVANE_HOME when set, else
// $ProgramFiles/QUORVANE.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "platform/threadMsg.h"

namespace qv {

// Result codes of the control's methods.
constexpr int32_t S_OK = 0;
constexpr int32_t E_FAIL_RESULT = -1;                                         // mixer unavailable
constexpr int32_t E_POINTER = static_cast<int32_t>(0x80004003u);              // null out-pointer
constexpr int32_t E_OUTOFMEMORY = static_cast<int32_t>(0x8007000Eu);          // job thread not created
constexpr int32_t CONNECT_E_NOCONNECTION = static_cast<int32_t>(0x80040200u); // unknown cookie

// The private window message that delivers Finish_Recog on the host's thread.
constexpr uint32_t WM_FINISH_RECOG = WM_USER + 101;  // 1125

// Score of a job that produced none.
constexpr int32_t kNoScore = -100000;

// Sink of the outgoing events (_IRecordEvents).
class IRecordEvents {
public:
    virtual ~IRecordEvents() = default;
    virtual void Finish_Recog(int32_t score) = 0;
};

struct RecordShared;

class CRecord {
public:
    CRecord();
    // Waits for a running job (its recording is stopped first).
    ~CRecord();
    CRecord(const CRecord&) = delete;
    CRecord& operator=(const CRecord&) = delete;

    // Recording level 0...100 of the default device's mixer. S_OK with the
    // level, S_OK without writing it when no volume control was found,
    // E_FAIL_RESULT when the mixer or its wave-in line cannot be reached.
    int32_t GetMicVolume(int32_t* result);
    // The last job's score (0 before the first job).
    int32_t GetScore(int32_t* result);
    // Starts a job unless one is running (then does nothing); returns at once.
    int32_t StartRecord(int32_t recordTimeTemp, const std::wstring& sentence);
    // Ends a running recording at its next frame.
    int32_t StopRecord();

    // Connection point: sinks are called in connection order; the cookie
    // identifies the connection for Unadvise.
    int32_t Advise(std::shared_ptr<IRecordEvents> sink, uint32_t* cookie);
    int32_t Unadvise(uint32_t cookie);
    void Fire_Finish_Recog(int32_t score);

    // Gives the control a window owned by the calling thread; from then on
    // events arrive on that thread when it dispatches its messages.
    bool CreateControlWindow();
    void DestroyControlWindow();
    WindowHandle window() const;

    bool IsBusy() const;
    // Appends "<time stamp> : text" to the control log.
    void LogWrite(const std::string& text);

private:
    std::shared_ptr<RecordShared> m_s;
    std::thread m_job;
};

}  // namespace qv
