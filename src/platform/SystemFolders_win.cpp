#include "platform/SystemFolders.h"

#include "platform/Win32Text.h"

#include <shlobj.h>

#include <stdexcept>
#include <vector>

namespace orvane {

std::string GetCommonDocumentsDir() {
    wchar_t path[MAX_PATH];
    if (FAILED(
            SHGetFolderPathW(nullptr, CSIDL_COMMON_DOCUMENTS, nullptr, SHGFP_TYPE_CURRENT, path)))
        return {};
    std::wstring result(path);
    while (result.size() > 3 && result.back() == L'\\')
        result.pop_back();
    return Narrow(result);
}

std::string DefaultIDEFolder() {
    // Where this machine keeps 32-bit programs: not always drive C:, not
    // always that name.
    PWSTR known = nullptr;
    std::string folder;
    if (SUCCEEDED(
            SHGetKnownFolderPath(FOLDERID_ProgramFilesX86, KF_FLAG_DONT_VERIFY, nullptr, &known)))
        folder = Narrow(known);
    CoTaskMemFree(known);
    if (folder.empty())
        return {};
    return IncludeTrailingPathDelimiter(folder) + "Embarcadero\\Studio\\";
}

std::string GetExecutableDir() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD len =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (len == 0)
            return {};
        // A full buffer means the name was cut short.
        if (len < buffer.size()) {
            std::wstring path(buffer.data(), len);
            return Narrow(path.substr(0, path.find_last_of(L'\\') + 1));
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::string FullPathName(const std::string& APath) {
    std::wstring path = Widen(APath);
    // GetFullPathNameW resolves names with these characters without complaint;
    // no file system accepts them, so the path is refused here.
    for (std::size_t i = 0; i < path.size(); ++i) {
        const wchar_t c = path[i];
        const bool driveColon = c == L':' && i == 1;
        if (c < 32 || c == L'<' || c == L'>' || c == L'"' || c == L'|' || c == L'?' || c == L'*' ||
            (c == L':' && !driveColon))
            throw std::runtime_error("Invalid characters in path: " + APath);
    }
    if (path.empty())
        path = L".";
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD len = GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()),
                                           buffer.data(), nullptr);
        if (len == 0)
            throw std::runtime_error(SystemErrorText(GetLastError()));
        if (len < buffer.size())
            return Narrow(std::wstring_view(buffer.data(), len));
        buffer.resize(len + 1);
    }
}

char PathDelimiter() {
    return '\\';
}

std::string IncludeTrailingPathDelimiter(const std::string& APath) {
    if (!APath.empty() && APath.back() == PathDelimiter())
        return APath;
    return APath + PathDelimiter();
}

std::string ExpandEnvironmentText(const std::string& AText) {
    const std::wstring LText = Widen(AText);
    std::vector<wchar_t> LBuffer(LText.size() + 1);
    for (;;) {
        const DWORD LNeeded = ExpandEnvironmentStringsW(LText.c_str(), LBuffer.data(),
                                                        static_cast<DWORD>(LBuffer.size()));
        if (LNeeded == 0) {
            return AText;
        }
        if (LNeeded <= LBuffer.size()) {
            return Narrow(LBuffer.data());
        }
        LBuffer.resize(LNeeded);
    }
}

} // namespace orvane
