// The library operations of one sync run: many at once, each a worker of the
// library reporting to the run's one message-only window, which this thread
// pumps. An operation is told apart by its own result byte (the final
// message points at it) and, before that, by its worker's thread id.
#pragma once
#include "../library.h"

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace twoway {

enum class OpKind { Size, Listing, Download, Upload, Delete };

// One started operation. Its variables stay where they are until the process
// ends: a worker that never sent its final message may still write them.
struct Op {
    OpKind kind = OpKind::Size;
    std::string label; // "User Notes/a.txt", for events
    BYTE result = 0xFF;
    BYTE cancel = 0;
    DWORD size = 0;      // the size query's variable
    std::string listing; // the listing's text (kind 21)
    bool finished = false;
    DWORD threadId = 0;
    // The last kind-24 report of its worker (0 when none).
    DWORD failCode = 0;
    DWORD failClass = 0;
    void *owner = nullptr; // who started it
};

class Operations {
  public:
    explicit Operations(const Library &library) : library_(library) {}
    Operations(const Operations &) = delete;
    Operations &operator=(const Operations &) = delete;

    // The window; false (with why) when it cannot be made.
    bool Open(std::string &why);
    HWND Window() const { return window_; }

    // Starts an operation: start(window, op) calls the export and returns what
    // it returned. Null when it did not start (its result byte tells why).
    Op *Start(OpKind kind, std::string label, void *owner, const std::function<int(HWND, Op &)> &start);

    // Waits up to milliseconds for messages and handles them.
    void Pump(DWORD milliseconds);
    // The operations that sent their final message since the last call.
    std::vector<Op *> TakeFinished();
    size_t Running() const { return running_; }
    // Bytes moved by transfers so far (progress messages).
    unsigned long long BytesMoved() const { return bytesMoved_; }
    // Milliseconds since the last message arrived (or since the last start).
    unsigned long long QuietMilliseconds() const;
    // Sets the cancel byte of every transfer still running.
    void CancelAll();
    // Waits for the workers whose final message came to end; false when one still runs.
    bool WaitForWorkers();
    void Close();

    // For the window procedure.
    void OnMessage(WPARAM wParam, LPARAM lParam);

  private:
    struct Stash {
        DWORD code = 0;
        DWORD codeClass = 0;
    };
    struct Final {
        Op *op;
        DWORD threadId;
    };
    void Finish(Op &op, DWORD threadId);
    void ReapWorkers();

    const Library &library_;
    HWND window_ = nullptr;
    std::deque<std::unique_ptr<Op>> ops_;
    std::map<const BYTE *, Op *> byResult_;
    std::map<DWORD, Stash> stash_; // kind-24 reports by worker, until its final message
    std::vector<Final> finals_;    // final messages handled, their operations not yet finished
    std::vector<Op *> finished_;
    std::vector<HANDLE> workers_;
    size_t running_ = 0;
    unsigned long long bytesMoved_ = 0;
    unsigned long long lastMessageTick_ = 0;
};

const char *OpKindName(OpKind kind);

} // namespace twoway
