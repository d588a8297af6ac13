#include "platform/ProductVersion.h"

#include <windows.h>

#include <vector>

namespace orvane {

std::optional<TProductVersion> GetProductVersion() {
    wchar_t path[MAX_PATH * 4];
    const DWORD len = GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
    if (len == 0 || len >= std::size(path))
        return std::nullopt;
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &handle);
    if (size == 0)
        return std::nullopt;
    std::vector<unsigned char> data(size);
    if (!GetFileVersionInfoW(path, 0, size, data.data()))
        return std::nullopt;
    VS_FIXEDFILEINFO* info = nullptr;
    UINT infoLen = 0;
    if (!VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &infoLen) ||
        info == nullptr || infoLen < sizeof(VS_FIXEDFILEINFO))
        return std::nullopt;
    return TProductVersion{HIWORD(info->dwProductVersionMS), LOWORD(info->dwProductVersionMS),
                           HIWORD(info->dwProductVersionLS), LOWORD(info->dwProductVersionLS)};
}

} // namespace orvane
