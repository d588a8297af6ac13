#pragma once

#include <QApplication>
#include <QString>

#include <functional>

// The installer's application object. A failure that escapes a button handler
// (a registry error during a clean-up, a store that went bad) ends that handler
// with a message box, not the program: the user learns what went wrong and the
// window stays usable.
class TOrvaneApplication : public QApplication {
public:
    using TErrorHandler = std::function<void(const QString& AMessage)>;

    TOrvaneApplication(int& AArgc, char** AArgv);

    bool notify(QObject* AReceiver, QEvent* AEvent) override;

    // Replaces the warning box shown for an escaped failure (tests record it).
    void SetErrorHandler(TErrorHandler AHandler) { FErrorHandler = std::move(AHandler); }

    // Shows AMessage as the failure of the handler that was running.
    void ReportError(const QString& AMessage);

private:
    TErrorHandler FErrorHandler;
};
