#include "server/Downloader.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <string>

// download_bench <api base url> <endpoint> <destination file>
// One download through TDownloader, the way the installer fetches a package;
// prints bytes, seconds and MiB/s.
int main(int argc, char** argv) {
    QCoreApplication LApp(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <api base url> <endpoint> <destination>\n", argv[0]);
        return 2;
    }
    QElapsedTimer LTimer;
    LTimer.start();
    std::int64_t LBytes = 0;
    std::int64_t LNotifications = 0;
    int LResult = 1;
    auto* LDownloader = new orvane::TDownloader(argv[1], "");
    LDownloader->OnProgress = [&](orvane::TDownloader& D) {
        LBytes = D.Progress;
        ++LNotifications;
    };
    LDownloader->OnCompleted = [&](orvane::TDownloader&) {
        LResult = 0;
        LApp.quit();
    };
    LDownloader->OnError = [&](const std::exception& E) {
        std::fprintf(stderr, "download failed: %s\n", E.what());
        LApp.quit();
    };
    LDownloader->Download(argv[2], argv[3], true);
    if (orvane::TDownloader::ActiveTransfers() > 0) {
        LApp.exec();
    }
    const double LSeconds = LTimer.elapsed() / 1000.0;
    std::printf("bytes %lld seconds %.3f MiB/s %.1f progress-notifications %lld\n",
                static_cast<long long>(LBytes), LSeconds, LBytes / 1048576.0 / LSeconds,
                static_cast<long long>(LNotifications));
    return LResult;
}
