#pragma once

#include <atomic>

// Ends a verification or a worklist query running on a worker thread. The
// operation's DCMTK objects stay on that thread; only this flag is shared.
// Every network wait looks at it ten times a second, so the operation ends
// within a tenth of a second of cancel(), with ErrorCode::Cancelled. Only
// the TCP connect itself is not watched: it ends by its own time-out, which
// a partner that is up answers at once.
class ToolkitCancel {
public:
    void cancel() { flag_ = true; }
    bool cancelled() const { return flag_; }

private:
    std::atomic<bool> flag_{false};
};
