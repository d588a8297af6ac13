#include "server/Downloader.h"
#include "server/HostThread.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

// download_bench <api base url> <endpoint> <destination file>
// One download through TDownloader, the way the installer fetches a package;
// prints bytes, seconds and MiB/s.
int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <api base url> <endpoint> <destination>\n", argv[0]);
        return 2;
    }
    auto LHost = std::make_shared<orvane::TQueuedHostThread>();
    const auto LStart = std::chrono::steady_clock::now();
    std::int64_t LBytes = 0;
    std::int64_t LNotifications = 0;
    int LResult = 1;
    bool LDone = false;
    auto* LDownloader = new orvane::TDownloader(argv[1], "", LHost);
    LDownloader->OnProgress = [&](orvane::TDownloader& D) {
        LBytes = D.Progress;
        ++LNotifications;
    };
    LDownloader->OnCompleted = [&](orvane::TDownloader&) {
        LResult = 0;
        LDone = true;
    };
    LDownloader->OnError = [&](const std::exception& E) {
        std::fprintf(stderr, "download failed: %s\n", E.what());
        LDone = true;
    };
    LDownloader->Download(argv[2], argv[3], true);
    while (!LDone) {
        LHost->WaitForWork(std::chrono::milliseconds(100));
    }
    const double LSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - LStart).count();
    std::printf("bytes %lld seconds %.3f MiB/s %.1f progress-notifications %lld\n",
                static_cast<long long>(LBytes), LSeconds, LBytes / 1048576.0 / LSeconds,
                static_cast<long long>(LNotifications));
    return LResult;
}
