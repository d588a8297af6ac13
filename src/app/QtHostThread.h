#pragma once

#include "server/HostThread.h"

// The application's GUI thread as the host thread: posted work runs as a
// queued call on the application object, and processing the pending work is
// processing the window's events.
class TQtHostThread : public orvane::THostThread {
public:
    TQtHostThread();

    void Post(std::function<void()> AWork) override;
    bool IsHostThread() const override;
    void ProcessPending() override;
    void RunPosted() override;
    bool IsShuttingDown() const override;
};

// Makes the GUI thread the default host of downloaders; called once the
// application object exists.
void UseQtHostThread();
