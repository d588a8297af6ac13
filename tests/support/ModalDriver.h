#pragma once

#include <QTimer>

#include <functional>

class QWidget;

// Plays the user for the real Qt dialogs: while it lives it watches for the
// active modal window and hands it to the action, which clicks or closes it and
// returns true when it took the window. A modal nobody takes within the time
// limit is a test failure and gets rejected, so a test never hangs.
class TModalDriver {
public:
    using TAction = std::function<bool(QWidget& AModal)>;

    explicit TModalDriver(TAction AAction, int ATimeoutMs = 5000);
    ~TModalDriver();
    TModalDriver(const TModalDriver&) = delete;
    TModalDriver& operator=(const TModalDriver&) = delete;

    bool Handled() const { return FHandled; }

private:
    void Poll();

    TAction FAction;
    QTimer FTimer;
    int FWaitedMs = 0;
    int FTimeoutMs;
    bool FHandled = false;
};
