#pragma once

// Windows only: UTF-8 <-> UTF-16 at the Win32 boundary, system message texts,
// and handles that close themselves.

#include <windows.h>

#include <string>
#include <string_view>

namespace orvane {

inline std::wstring Widen(std::string_view AText) {
    if (AText.empty())
        return {};
    const int len =
        MultiByteToWideChar(CP_UTF8, 0, AText.data(), static_cast<int>(AText.size()), nullptr, 0);
    std::wstring result(static_cast<std::size_t>(len), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, AText.data(), static_cast<int>(AText.size()), result.data(),
                        len);
    return result;
}

inline std::string Narrow(std::wstring_view AText) {
    if (AText.empty())
        return {};
    const int len = WideCharToMultiByte(CP_UTF8, 0, AText.data(), static_cast<int>(AText.size()),
                                        nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(len), '\0');
    WideCharToMultiByte(CP_UTF8, 0, AText.data(), static_cast<int>(AText.size()), result.data(),
                        len, nullptr, nullptr);
    return result;
}

// False when AText is not valid UTF-16 (an unpaired surrogate), which Narrow
// would replace with U+FFFD: a name read that way no longer finds its value.
inline bool NarrowExact(std::wstring_view AText, std::string& AResult) {
    AResult.clear();
    if (AText.empty())
        return true;
    const int len =
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, AText.data(),
                            static_cast<int>(AText.size()), nullptr, 0, nullptr, nullptr);
    if (len <= 0)
        return false;
    AResult.resize(static_cast<std::size_t>(len));
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, AText.data(), static_cast<int>(AText.size()),
                        AResult.data(), len, nullptr, nullptr);
    return true;
}

// The system's message text for an error code, without the trailing line break;
// "System error <code>" when the system has no text for it.
inline std::string SystemErrorText(DWORD ACode) {
    wchar_t* buffer = nullptr;
    const DWORD len = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, ACode, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text(buffer != nullptr ? buffer : L"", len);
    if (buffer != nullptr)
        LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' '))
        text.pop_back();
    if (text.empty())
        return "System error " + std::to_string(ACode);
    return Narrow(text);
}

// Owns a handle of the Win32 API and closes it with AClose on every way out.
template <class THandleType, auto AClose> class TOwnedHandle {
public:
    TOwnedHandle() = default;
    TOwnedHandle(const TOwnedHandle&) = delete;
    TOwnedHandle& operator=(const TOwnedHandle&) = delete;
    ~TOwnedHandle() {
        if (FHandle != nullptr)
            AClose(FHandle);
    }
    THandleType* Out() { return &FHandle; }
    THandleType Get() const { return FHandle; }

private:
    THandleType FHandle = nullptr;
};

} // namespace orvane
