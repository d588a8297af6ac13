#include "platform/Text.h"

#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#else
#include <cwctype>
#include <locale.h>
#endif

namespace orvane {

std::string TrimControl(const std::string& AText) {
    std::size_t first = 0;
    std::size_t last = AText.size();
    while (first < last && static_cast<unsigned char>(AText[first]) <= 32) {
        ++first;
    }
    while (last > first && static_cast<unsigned char>(AText[last - 1]) <= 32) {
        --last;
    }
    return AText.substr(first, last - first);
}

namespace {

// The code point of the UTF-8 sequence at AText[AAt] and its length in bytes;
// length 0 for a byte that starts no valid sequence (overlong forms and
// surrogates included).
std::size_t NextUtf8(std::string_view AText, std::size_t AAt, char32_t& ACode) {
    const auto* p = reinterpret_cast<const unsigned char*>(AText.data());
    const std::size_t n = AText.size();
    const unsigned char c = p[AAt];
    if (c < 0x80) {
        ACode = c;
        return 1;
    }
    int extra = 0;
    char32_t code = 0;
    char32_t minimum = 0;
    if ((c & 0xE0) == 0xC0) {
        extra = 1;
        code = c & 0x1F;
        minimum = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        extra = 2;
        code = c & 0x0F;
        minimum = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        extra = 3;
        code = c & 0x07;
        minimum = 0x10000;
    } else {
        return 0;
    }
    if (AAt + static_cast<std::size_t>(extra) >= n) {
        return 0;
    }
    for (int k = 1; k <= extra; ++k) {
        const unsigned char cc = p[AAt + k];
        if ((cc & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (cc & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return 0;
    }
    ACode = code;
    return 1 + static_cast<std::size_t>(extra);
}

} // namespace

std::u32string DecodeUtf8(const std::string& AText, bool* AValid) {
    std::u32string out;
    out.reserve(AText.size());
    bool valid = true;
    for (std::size_t i = 0; i < AText.size();) {
        char32_t code = 0;
        const std::size_t length = NextUtf8(AText, i, code);
        if (length == 0) {
            out.push_back(0xFFFD);
            valid = false;
            ++i;
        } else {
            out.push_back(code);
            i += length;
        }
    }
    if (AValid) {
        *AValid = valid;
    }
    return out;
}

bool IsValidUtf8(std::string_view AText) {
    for (std::size_t i = 0; i < AText.size();) {
        // ASCII runs are the bulk of every answer.
        if (static_cast<unsigned char>(AText[i]) < 0x80) {
            ++i;
            continue;
        }
        char32_t code = 0;
        const std::size_t length = NextUtf8(AText, i, code);
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
}

std::string Quoted(const std::string& AText) {
    return "\"" + AText + "\"";
}

std::string FormatByteSize(std::uint64_t ABytes) {
    static const char* const KUnits[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (ABytes < 1024) {
        return std::to_string(ABytes) + " bytes";
    }
    double LValue = static_cast<double>(ABytes);
    int LUnit = 0;
    while (LValue >= 1024 && LUnit < 6) {
        LValue /= 1024;
        ++LUnit;
    }
    char LText[32];
    std::snprintf(LText, sizeof LText, "%.1f %s", LValue, KUnits[LUnit]);
    return LText;
}

std::string ShortenedText(const std::string& AText, std::size_t AMaxBytes) {
    if (AText.size() <= AMaxBytes) {
        return AText;
    }
    std::size_t cut = AMaxBytes;
    while (cut > 0 && (static_cast<unsigned char>(AText[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return AText.substr(0, cut) + "... (" + std::to_string(AText.size()) + " bytes)";
}

void AppendUtf8(std::string& AOut, char32_t ACode) {
    if (ACode < 0x80) {
        AOut.push_back(static_cast<char>(ACode));
    } else if (ACode < 0x800) {
        AOut.push_back(static_cast<char>(0xC0 | (ACode >> 6)));
        AOut.push_back(static_cast<char>(0x80 | (ACode & 0x3F)));
    } else if (ACode < 0x10000) {
        AOut.push_back(static_cast<char>(0xE0 | (ACode >> 12)));
        AOut.push_back(static_cast<char>(0x80 | ((ACode >> 6) & 0x3F)));
        AOut.push_back(static_cast<char>(0x80 | (ACode & 0x3F)));
    } else {
        AOut.push_back(static_cast<char>(0xF0 | (ACode >> 18)));
        AOut.push_back(static_cast<char>(0x80 | ((ACode >> 12) & 0x3F)));
        AOut.push_back(static_cast<char>(0x80 | ((ACode >> 6) & 0x3F)));
        AOut.push_back(static_cast<char>(0x80 | (ACode & 0x3F)));
    }
}

std::vector<std::uint8_t> ToUtf16Le(const std::string& AText, bool AWithNul) {
    std::vector<std::uint8_t> out;
    out.reserve(AText.size() * 2 + 2);
    auto unit = [&out](char32_t AUnit) {
        out.push_back(static_cast<std::uint8_t>(AUnit & 0xFF));
        out.push_back(static_cast<std::uint8_t>((AUnit >> 8) & 0xFF));
    };
    for (char32_t code : DecodeUtf8(AText)) {
        if (code >= 0x10000) {
            code -= 0x10000;
            unit(0xD800 + (code >> 10));
            unit(0xDC00 + (code & 0x3FF));
        } else {
            unit(code);
        }
    }
    if (AWithNul) {
        unit(0);
    }
    return out;
}

std::string FromUtf16Le(const std::uint8_t* AData, std::size_t ASize, bool AStopAtNul) {
    std::string out;
    const std::size_t units = ASize / 2;
    for (std::size_t i = 0; i < units; ++i) {
        char32_t u = AData[2 * i] | (AData[2 * i + 1] << 8);
        if (u == 0 && AStopAtNul) {
            break;
        }
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            const char32_t low = AData[2 * i + 2] | (AData[2 * i + 3] << 8);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        if (u >= 0xD800 && u <= 0xDFFF) {
            u = 0xFFFD;
        }
        AppendUtf8(out, u);
    }
    return out;
}

namespace {

char32_t UpperChar(char32_t ACode) {
    if (ACode < 0x80) {
        return (ACode >= 'a' && ACode <= 'z') ? ACode - 32 : ACode;
    }
#ifdef _WIN32
    // The C runtime's towupper maps ASCII only; the system's invariant mapping
    // knows the rest. Characters beyond the BMP have no case anyway.
    if (ACode > 0xFFFF) {
        return ACode;
    }
    const wchar_t in = static_cast<wchar_t>(ACode);
    wchar_t out = in;
    if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, &in, 1, &out, 1, nullptr, nullptr,
                      0) != 1) {
        return ACode;
    }
    return static_cast<char32_t>(out);
#else
    // The C locale maps ASCII only; C.UTF-8 knows the whole repertoire.
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    if (utf8 == static_cast<locale_t>(0)) {
        return ACode;
    }
    return static_cast<char32_t>(towupper_l(static_cast<wint_t>(ACode), utf8));
#endif
}

} // namespace

std::string FoldName(const std::string& AName) {
    std::string out;
    out.reserve(AName.size());
    for (char32_t code : DecodeUtf8(AName)) {
        AppendUtf8(out, UpperChar(code));
    }
    return out;
}

bool SameName(const std::string& A, const std::string& B) {
    return FoldName(A) == FoldName(B);
}

std::string Visible(const std::string& AText) {
    static const char* const KHex = "0123456789ABCDEF";
    std::string LResult;
    for (const char LChar : AText) {
        const auto LByte = static_cast<unsigned char>(LChar);
        if (LByte < 32 || LByte == 127) {
            LResult += std::string("\\x") + KHex[LByte >> 4] + KHex[LByte & 15];
        } else {
            LResult += LChar;
        }
    }
    return LResult;
}

std::string WithoutControlCharacters(const std::string& AText) {
    std::string LResult;
    LResult.reserve(AText.size());
    for (std::size_t LIndex = 0; LIndex < AText.size(); ++LIndex) {
        const auto LByte = static_cast<unsigned char>(AText[LIndex]);
        const bool LLineBreak = LByte == '\n' || (LByte == '\r' && LIndex + 1 < AText.size() &&
                                                  AText[LIndex + 1] == '\n');
        if ((LByte >= 32 && LByte != 127) || LByte == '\t' || LLineBreak) {
            LResult += AText[LIndex];
        }
    }
    return LResult;
}

} // namespace orvane
