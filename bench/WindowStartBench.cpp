// One start of the installer, as main does it, that ends at the window's first
// paint. Prints when main began, when the window was made and when it first
// painted, as
// CLOCK_MONOTONIC nanoseconds (the clock of steady_clock here), so the caller
// can add the time before main: window_start_bench.py runs it N times.
#include "app/InstallerMain.h"
#include "app/Unit2.h"

#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <cstdio>

namespace {

long long Now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Notes the first paint of the window or one of its controls, then ends the
// event loop once that paint is done.
class TFirstPaint : public QObject {
public:
    TFirstPaint(TForm2& AForm, long long AMain)
        : QObject(&AForm), FForm(AForm), FMain(AMain), FCreated(Now()) {}

    bool eventFilter(QObject* AWatched, QEvent* AEvent) override {
        if (AEvent->type() == QEvent::Paint && FPainted == 0) {
            auto* LWidget = qobject_cast<QWidget*>(AWatched);
            if (LWidget && LWidget->window() == &FForm) {
                FPainted = Now();
                std::printf("main=%lld created=%lld painted=%lld\n", FMain, FCreated, FPainted);
                std::fflush(stdout);
                QTimer::singleShot(0, qApp, &QCoreApplication::quit);
            }
        }
        return false;
    }

private:
    TForm2& FForm;
    long long FMain;
    // The window is made, not yet shown.
    long long FCreated;
    long long FPainted = 0;
};

} // namespace

int main(int argc, char** argv) {
    const long long LMain = Now();
    return RunInstaller(argc, argv, [LMain](TForm2& AForm) {
        // A child of the window, which deletes it.
        qApp->installEventFilter(new TFirstPaint(AForm, LMain));
    });
}
