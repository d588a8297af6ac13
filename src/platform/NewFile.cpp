#include "platform/NewFile.h"

#include <streambuf>

namespace orvane {

class TNewFile::TBuffer : public std::streambuf {
public:
    explicit TBuffer(std::FILE* AFile) : FFile(AFile) {}
    ~TBuffer() override { Close(); }
    TBuffer(const TBuffer&) = delete;
    TBuffer& operator=(const TBuffer&) = delete;

    bool Close() {
        if (FFile != nullptr) {
            FFailed = std::fflush(FFile) != 0 || FFailed;
            FFailed = std::fclose(FFile) != 0 || FFailed;
            FFile = nullptr;
        }
        return !FFailed;
    }

protected:
    int_type overflow(int_type AChar) override {
        if (traits_type::eq_int_type(AChar, traits_type::eof())) {
            return traits_type::not_eof(AChar);
        }
        const char LChar = traits_type::to_char_type(AChar);
        return xsputn(&LChar, 1) == 1 ? AChar : traits_type::eof();
    }
    std::streamsize xsputn(const char* AData, std::streamsize ASize) override {
        if (FFile == nullptr || std::fwrite(AData, 1, static_cast<std::size_t>(ASize), FFile) !=
                                    static_cast<std::size_t>(ASize)) {
            FFailed = true;
            return 0;
        }
        return ASize;
    }
    int sync() override {
        if (FFile == nullptr || std::fflush(FFile) != 0) {
            FFailed = true;
            return -1;
        }
        return 0;
    }

private:
    std::FILE* FFile;
    bool FFailed = false;
};

TNewFile::TNewFile(const std::string& APath, TOpenMode AMode, std::int64_t ACutTo)
    : std::iostream(nullptr) {
    bool LExists = false;
    std::string LError;
    std::FILE* LFile = AMode == nfContinue ? OpenOwnFile(APath, LError, ACutTo)
                                           : OpenNewFile(APath, LExists, LError);
    if (LFile == nullptr) {
        const std::string LText = "Cannot create file \"" + APath + "\". " + LError;
        if (LExists) {
            throw EFileExists(LText);
        }
        throw std::runtime_error(LText);
    }
    FBuffer = std::make_unique<TBuffer>(LFile);
    rdbuf(FBuffer.get());
}

TNewFile::~TNewFile() = default;

bool TNewFile::Close() {
    const bool LFlushed = static_cast<bool>(flush());
    return FBuffer->Close() && LFlushed;
}

} // namespace orvane
