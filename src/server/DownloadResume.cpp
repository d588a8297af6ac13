#include "server/DownloadResume.h"

#include "platform/FileNames.h"
#include "platform/NewFile.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace orvane {

namespace {

std::atomic<std::int64_t> GRetryPauseMs{2000};

// A side file is a few lines; anything larger is not ours.
constexpr std::size_t KMaxStateBytes = 4096;

} // namespace

std::string TResumeState::Validator() const {
    // A weak ETag cannot be used with If-Range.
    if (!ETag.empty() && ETag.rfind("W/", 0) != 0) {
        return ETag;
    }
    return LastModified;
}

std::string ResumeStateFileName(const std::string& ADestination) {
    return ADestination + ".resume";
}

std::optional<TResumeState> ReadResumeState(const std::string& AFile) {
    // A pipe would hold the run, a link could name anything: neither is a record.
    std::error_code LError;
    if (!std::filesystem::is_regular_file(
            std::filesystem::symlink_status(PathFromUtf8(AFile), LError))) {
        return std::nullopt;
    }
    std::ifstream LIn(PathFromUtf8(AFile), std::ios::binary);
    if (!LIn) {
        return std::nullopt;
    }
    std::string LText(KMaxStateBytes + 1, '\0');
    LIn.read(LText.data(), static_cast<std::streamsize>(LText.size()));
    LText.resize(static_cast<std::size_t>(LIn.gcount()));
    if (LText.size() > KMaxStateBytes) {
        return std::nullopt;
    }
    TResumeState Result;
    bool LHasSize = false;
    std::istringstream LLines(LText);
    std::string LLine;
    while (std::getline(LLines, LLine)) {
        const auto LEquals = LLine.find('=');
        if (LEquals == std::string::npos) {
            return std::nullopt;
        }
        const std::string LKey = LLine.substr(0, LEquals);
        const std::string LValue = LLine.substr(LEquals + 1);
        if (LKey == "file") {
            Result.FileName = LValue;
        } else if (LKey == "size") {
            try {
                std::size_t LUsed = 0;
                Result.Size = std::stoll(LValue, &LUsed);
                LHasSize = LUsed == LValue.size() && Result.Size >= 0;
            } catch (const std::exception&) {
                return std::nullopt;
            }
        } else if (LKey == "etag") {
            Result.ETag = LValue;
        } else if (LKey == "last-modified") {
            Result.LastModified = LValue;
        }
    }
    if (!LHasSize || Result.FileName.empty()) {
        return std::nullopt;
    }
    return Result;
}

void WriteResumeState(const std::string& AFile, const TResumeState& AState) {
    const auto LOneLine = [](const std::string& AText) {
        return AText.find_first_of("\r\n") == std::string::npos ? AText : std::string();
    };
    // Rewritten through its own opening, never through a link or a second
    // name put in its place.
    std::error_code LError;
    const bool LExists = std::filesystem::symlink_status(PathFromUtf8(AFile), LError).type() !=
                         std::filesystem::file_type::not_found;
    TNewFile LOut(AFile, LExists ? TNewFile::nfContinue : TNewFile::nfCreate, LExists ? 0 : -1);
    LOut << "file=" << LOneLine(AState.FileName) << "\nsize=" << AState.Size
         << "\netag=" << LOneLine(AState.ETag)
         << "\nlast-modified=" << LOneLine(AState.LastModified) << "\n";
    if (!LOut.Close()) {
        throw std::runtime_error("Failed to write \"" + AFile + "\"");
    }
}

std::chrono::milliseconds RetryPause(int ARetry) {
    return std::chrono::milliseconds(GRetryPauseMs.load() << (ARetry > 1 ? ARetry - 1 : 0));
}

void SetRetryPauseBase(std::chrono::milliseconds APause) {
    GRetryPauseMs = APause.count();
}

std::chrono::milliseconds RetryPauseBase() {
    return std::chrono::milliseconds(GRetryPauseMs.load());
}

} // namespace orvane
