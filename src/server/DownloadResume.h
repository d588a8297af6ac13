#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace orvane {

// What identifies a partial download on disk, kept beside it so that a later
// attempt (this run or the next) can ask the server for the rest only.
struct TResumeState {
    // The final file name the partial file belongs to.
    std::string FileName;
    // Bytes of the partial file that were written and flushed.
    std::int64_t Size = 0;
    std::string ETag;
    std::string LastModified;

    // What If-Range names: a strong ETag, else Last-Modified; empty: the
    // server gave nothing to resume against.
    std::string Validator() const;
};

// "<final name>.resume" beside the final file.
std::string ResumeStateFileName(const std::string& ADestination);

// Nothing when the file is missing, too large or not in the form written by
// WriteResumeState.
std::optional<TResumeState> ReadResumeState(const std::string& AFile);
// Throws std::runtime_error naming the file when it cannot be written.
void WriteResumeState(const std::string& AFile, const TResumeState& AState);

// Pause before the Nth retry (1-based) of a cut transfer: the base pause,
// doubled for each retry before it.
std::chrono::milliseconds RetryPause(int ARetry);
// Process-wide base pause for transfers started afterwards; tests shorten it.
void SetRetryPauseBase(std::chrono::milliseconds APause);
std::chrono::milliseconds RetryPauseBase();

// Retries of a cut transfer within one run.
inline constexpr int KMaxTransferRetries = 3;

} // namespace orvane
