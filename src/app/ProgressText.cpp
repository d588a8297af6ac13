#include "app/ProgressText.h"

#include <cstdio>

std::string FormatByteCount(std::int64_t ABytes) {
    if (ABytes < 1024) {
        return std::to_string(ABytes < 0 ? 0 : ABytes) + " B";
    }
    static const char* const CUnits[] = {"KB", "MB", "GB", "TB"};
    double LValue = static_cast<double>(ABytes) / 1024;
    std::size_t LUnit = 0;
    // 1023.96 KB would print as "1024.0 KB": move up before rounding does.
    while (LValue >= 1023.95 && LUnit + 1 < std::size(CUnits)) {
        LValue /= 1024;
        ++LUnit;
    }
    char LText[32];
    std::snprintf(LText, sizeof(LText), "%.1f %s", LValue, CUnits[LUnit]);
    return LText;
}

std::string FormatTransferProgress(std::int64_t AReceived, std::int64_t ATotal,
                                   double ABytesPerSecond) {
    std::string LText = FormatByteCount(AReceived);
    if (ATotal >= 0) {
        LText += " of " + FormatByteCount(ATotal);
    }
    if (ABytesPerSecond >= 0) {
        LText += ", " + FormatByteCount(static_cast<std::int64_t>(ABytesPerSecond + 0.5)) + "/s";
    }
    return LText;
}

void TTransferMeter::Start(TClock::time_point ANow) {
    FLastTime = ANow;
    FLastBytes = 0;
    FRate = -1;
}

std::optional<std::string> TTransferMeter::Sample(std::int64_t AReceived, std::int64_t ATotal,
                                                  TClock::time_point ANow, bool AForce) {
    const auto LElapsed = ANow - FLastTime;
    if (LElapsed < FInterval && !AForce) {
        return std::nullopt;
    }
    const double LSeconds = std::chrono::duration<double>(LElapsed).count();
    // A forced text right after the last one has too short a window for a rate.
    if (LElapsed >= FInterval && LSeconds > 0) {
        FRate = static_cast<double>(AReceived - FLastBytes) / LSeconds;
        FLastTime = ANow;
        FLastBytes = AReceived;
    }
    return FormatTransferProgress(AReceived, ATotal, FRate);
}
