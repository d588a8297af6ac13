#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

// Byte counts as a person reads them: "512 B", "1.5 KB", "120.4 MB", "2.0 GB"
// (units of 1024, one decimal above bytes).
std::string FormatByteCount(std::int64_t ABytes);

// "120.4 MB of 290.0 MB, 35.2 MB/s". Without a known total (ATotal < 0) the
// "of ..." part is left out; without a rate (ABytesPerSecond < 0) the rate is.
std::string FormatTransferProgress(std::int64_t AReceived, std::int64_t ATotal,
                                   double ABytesPerSecond);

// Decides when a transfer's text is due (drawing it on every block would cost
// more than the transfer) and measures the rate between two texts.
class TTransferMeter {
public:
    using TClock = std::chrono::steady_clock;

    explicit TTransferMeter(std::chrono::milliseconds AInterval = std::chrono::milliseconds(250))
        : FInterval(AInterval) {}

    void Start(TClock::time_point ANow);
    // The text when one is due: AInterval after the previous one, or at once
    // with AForce (the end of the transfer). Nothing otherwise.
    std::optional<std::string> Sample(std::int64_t AReceived, std::int64_t ATotal,
                                      TClock::time_point ANow, bool AForce = false);

private:
    std::chrono::milliseconds FInterval;
    TClock::time_point FLastTime;
    std::int64_t FLastBytes = 0;
    double FRate = -1;
};
