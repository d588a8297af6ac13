#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace orvane {

// A file opened once for reading, and read only through that opening: what
// is checked (hashed) is what is then used, whatever another process does to
// its name meanwhile. Only a plain file is opened; a link, a folder, a pipe or
// a device is refused at once (a pipe would hold the reader until a signal).
// Reads at an offset do not share a position, so several readers (threads,
// zip handles) can use one opening at the same time.
class THeldFile {
public:
    // Throws std::runtime_error naming the file and the reason.
    explicit THeldFile(const std::string& APath);
    ~THeldFile();
    THeldFile(const THeldFile&) = delete;
    THeldFile& operator=(const THeldFile&) = delete;

    const std::string& Path() const { return FPath; }
    // The size when it was opened.
    std::uint64_t Size() const { return FSize; }
    // Up to ASize bytes from AOffset into AData; the count read, 0 at the
    // end. Throws std::runtime_error naming the file on a read error.
    std::size_t ReadAt(std::uint64_t AOffset, void* AData, std::size_t ASize) const;

private:
    std::string FPath;
    std::uint64_t FSize = 0;
    // The descriptor here, the HANDLE on Windows.
    std::intptr_t FHandle = -1;
};

// The whole of a plain file of at most AMaxBytes, read through one opening;
// throws std::runtime_error naming the file (a link, a pipe or a device is
// refused at once, a larger file before it is read).
std::string ReadHeldFile(const std::string& APath, std::size_t AMaxBytes);

} // namespace orvane
