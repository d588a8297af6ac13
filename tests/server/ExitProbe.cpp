#include "app/QtHostThread.h"
#include "server/Downloader.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>

// exit_probe <api base url> <endpoint>
// Starts a download and ends the program while its body arrives: the
// application's teardown must not wait forever for the transfer's final
// notification.
int main(int argc, char** argv) {
    QCoreApplication LApp(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <api base url> <endpoint>\n", argv[0]);
        return 2;
    }
    UseQtHostThread();
    auto* LDownloader = new orvane::TDownloader(argv[1], "");
    LDownloader->OnCompleted = [](orvane::TDownloader&) { std::puts("completed"); };
    LDownloader->OnError = [](const std::exception& E) { std::printf("error: %s\n", E.what()); };
    int LStarted = 0;
    LDownloader->OnStarted = [&LStarted](orvane::TDownloader&) { ++LStarted; };
    LDownloader->Download(argv[2], "", true);
    // The token answer, then the file's answer: the body is on its way.
    QElapsedTimer LTimer;
    LTimer.start();
    while (LStarted < 2 && LTimer.elapsed() < 10000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return LStarted == 2 && orvane::TDownloader::ActiveTransfers() == 1 ? 0 : 1;
}
