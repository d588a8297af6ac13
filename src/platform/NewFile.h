#pragma once

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>

namespace orvane {

// Something of that name (a file, a folder, a link) is already there.
class EFileExists : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A file this writer created itself: opened only when nothing of that name
// exists, a link included (never followed), so a file of somebody else's is
// never emptied or written through. Throws EFileExists for a name that is
// taken, std::runtime_error naming the file for any other failure.
class TNewFile : public std::iostream {
public:
    enum TOpenMode {
        nfCreate,   // as above
        nfContinue, // an existing plain file with no other name, appended to;
                    // a link, a folder or a file with a second hard link is refused
    };
    // nfContinue with ACutTo >= 0: the opened file is first cut back to that
    // many bytes (never the name, which may point elsewhere by then); a
    // shorter file is refused.
    explicit TNewFile(const std::string& APath, TOpenMode AMode = nfCreate,
                      std::int64_t ACutTo = -1);
    ~TNewFile() override;
    TNewFile(const TNewFile&) = delete;
    TNewFile& operator=(const TNewFile&) = delete;

    // Writes what is buffered and closes the file; false when any write failed.
    bool Close();

private:
    class TBuffer;
    std::unique_ptr<TBuffer> FBuffer;
};

// Gives ASource the name ADest only while no file, folder or link has that
// name: what appeared there meanwhile is never replaced. Throws
// std::runtime_error naming both.
void RenameNoReplace(const std::string& ASource, const std::string& ADest);

// The platform's part of TNewFile: the file opened exclusively for reading
// and writing, or null with AExists telling whether the name was taken and
// AError the system's reason.
std::FILE* OpenNewFile(const std::string& APath, bool& AExists, std::string& AError);
// The platform's part of TNewFile(nfContinue): the existing file opened for
// appending without following a link, cut back to ACutTo bytes when that is
// not negative, or null with AError saying why.
std::FILE* OpenOwnFile(const std::string& APath, std::string& AError, std::int64_t ACutTo = -1);

} // namespace orvane
