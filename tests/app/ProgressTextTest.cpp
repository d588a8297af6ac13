#include "app/ProgressText.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

TEST(ProgressText, ByteCountsAndTransferLines) {
    constexpr std::int64_t KB = 1024;
    constexpr std::int64_t MB = 1024 * KB;
    const struct {
        std::int64_t Received;
        std::int64_t Total;
        double Rate;
        const char* Text;
    } KCases[] = {
        {0, -1, -1, "0 B"},
        {1023, -1, -1, "1023 B"},
        {1024, -1, -1, "1.0 KB"},
        {1536, 4 * KB, -1, "1.5 KB of 4.0 KB"},
        {KB * 1024 - 1, -1, -1, "1.0 MB"},
        {120 * MB + 400 * KB, 290 * MB, 35.2 * MB, "120.4 MB of 290.0 MB, 35.2 MB/s"},
        {3 * MB, -1, 512, "3.0 MB, 512 B/s"},
        {5 * 1024 * MB, 5 * 1024 * MB, 0, "5.0 GB of 5.0 GB, 0 B/s"},
        {-5, 0, -1, "0 B of 0 B"},
    };
    for (const auto& C : KCases) {
        EXPECT_EQ(FormatTransferProgress(C.Received, C.Total, C.Rate), C.Text) << C.Received;
    }
}

TEST(ProgressText, MeterSpeaksAFewTimesPerSecondWithTheRateBetween) {
    TTransferMeter LMeter(250ms);
    const auto T0 = TTransferMeter::TClock::time_point{} + 1h;
    LMeter.Start(T0);
    // Blocks arriving every 10 ms: only the ones a quarter second apart speak.
    int LTexts = 0;
    std::optional<std::string> LLast;
    for (int LStep = 1; LStep <= 100; ++LStep) {
        if (auto LText = LMeter.Sample(LStep * 10240, 1024000, T0 + LStep * 10ms)) {
            ++LTexts;
            LLast = LText;
        }
    }
    EXPECT_EQ(LTexts, 4);
    // 10 KB per 10 ms.
    EXPECT_EQ(LLast, "1000.0 KB of 1000.0 KB, 1000.0 KB/s");
    // Too soon: nothing; forced (the end): the text, with the rate measured before.
    EXPECT_EQ(LMeter.Sample(1024000, 1024000, T0 + 1001ms), std::nullopt);
    EXPECT_EQ(LMeter.Sample(1024000, 1024000, T0 + 1001ms, true),
              "1000.0 KB of 1000.0 KB, 1000.0 KB/s");
}

TEST(ProgressText, MeterWithoutTotalOrTimeHasNoRateAndNoTotal) {
    TTransferMeter LMeter(250ms);
    const auto T0 = TTransferMeter::TClock::time_point{} + 1h;
    LMeter.Start(T0);
    // Forced before any window has passed: bytes only.
    EXPECT_EQ(LMeter.Sample(2048, -1, T0, true), "2.0 KB");
    EXPECT_EQ(LMeter.Sample(4096, -1, T0 + 500ms), "4.0 KB, 8.0 KB/s");
}
