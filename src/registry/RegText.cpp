#include "registry/RegText.h"

#include <cwctype>

#ifndef _WIN32
#include <locale.h>
#endif

namespace orvane {

namespace {

char32_t UpperChar(char32_t ACode) {
    if (ACode < 0x80) {
        return (ACode >= 'a' && ACode <= 'z') ? ACode - 32 : ACode;
    }
#ifdef _WIN32
    // wint_t is 16 bits wide here; characters beyond the BMP have no case anyway.
    if (ACode > 0xFFFF) {
        return ACode;
    }
    return static_cast<char32_t>(std::towupper(static_cast<wint_t>(ACode)));
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

} // namespace orvane
