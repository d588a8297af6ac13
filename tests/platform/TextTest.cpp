#include "platform/Text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using orvane::DecodeUtf8;
using orvane::FromUtf16Le;
using orvane::IsValidUtf8;
using orvane::ShortenedText;
using orvane::ToUtf16Le;
using orvane::TrimControl;

// Registry names and account names compare this way on Windows and here alike.
TEST(Text, NamesCompareWithoutRegardToCaseBeyondAscii) {
    struct TCase {
        std::string A;
        std::string B;
        bool Same;
    } const KCases[] = {
        {"Known Packages", "KNOWN PACKAGES", true},
        {"fran\xC3\xA7ois", "FRAN\xC3\x87OIS", true},                   // c cedilla
        {"\xC3\xA4rger", "\xC3\x84RGER", true},                         // a umlaut
        {"\xD0\xB8\xD0\xBC\xD1\x8F", "\xD0\x98\xD0\x9C\xD0\xAF", true}, // Cyrillic
        {"dev", "dev2", false},
        {"\xC3\xA4", "a", false},
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80", true}, // beyond the BMP: unchanged
    };
    for (const auto& C : KCases) {
        EXPECT_EQ(orvane::SameName(C.A, C.B), C.Same) << C.A << " / " << C.B;
    }
    EXPECT_EQ(orvane::FoldName("fran\xC3\xA7ois"), "FRAN\xC3\x87OIS");
}

TEST(Text, TrimDropsControlCharactersAndBlanksOnly) {
    EXPECT_EQ(TrimControl(" \t\r\n x y \x01\x1f"), "x y");
    EXPECT_EQ(TrimControl("\xC2\xA0x"), "\xC2\xA0x"); // a no-break space is text
    EXPECT_EQ(TrimControl("   "), "");
    EXPECT_EQ(TrimControl(""), "");
}

// What came from a file or an answer reaches the log and the registry without
// escape sequences or lone carriage returns; line breaks and tabs stay.
TEST(Text, ControlCharactersLeaveTextForTheLogAndTheRegistry) {
    const struct {
        std::string In;
        std::string Out;
    } LCases[] = {
        {"1.4\x1b[31m2", "1.4[31m2"},
        {"made\r2026", "made2026"},
        {"a\r\nb\tc\n", "a\r\nb\tc\n"},
        {std::string("x\0y\x7f", 4), "xy"},
        {"\xC3\xBC\xE6\x97\xA5", "\xC3\xBC\xE6\x97\xA5"},
    };
    for (const auto& LCase : LCases) {
        EXPECT_EQ(orvane::WithoutControlCharacters(LCase.In), LCase.Out) << LCase.In;
    }
}

TEST(Text, Utf8AndUtf16LeRoundTrip) {
    // ASCII, a Latin-1 letter, a BMP character and one beyond it (a surrogate pair).
    const std::string text = "a\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80";
    const std::vector<std::uint8_t> units = ToUtf16Le(text, true);
    EXPECT_EQ(units, (std::vector<std::uint8_t>{'a', 0, 0xE4, 0, 0xAC, 0x20, 0x3D, 0xD8, 0x00, 0xDE,
                                                0, 0}));
    EXPECT_EQ(FromUtf16Le(units, true), text);
}

TEST(Text, Utf16DecodingStopsAtNulOnlyWhenAskedAndReplacesLoneSurrogates) {
    const std::vector<std::uint8_t> withNul{'a', 0, 0, 0, 'b', 0};
    EXPECT_EQ(FromUtf16Le(withNul, true), "a");
    EXPECT_EQ(FromUtf16Le(withNul, false), std::string("a\0b", 3));
    // A high surrogate followed by a letter, then a lone low surrogate, then an odd byte.
    const std::vector<std::uint8_t> broken{0x3D, 0xD8, 'x', 0, 0x00, 0xDE, 'y'};
    EXPECT_EQ(FromUtf16Le(broken, false), "\xEF\xBF\xBDx\xEF\xBF\xBD");
}

TEST(Text, InvalidUtf8IsFlaggedAndReplaced) {
    struct TCase {
        const char* Bytes;
        bool Valid;
    };
    const TCase cases[] = {
        {"plain", true},
        {"\xC3\xA4", true},
        {"\xC0\x80", false},         // overlong
        {"\xED\xA0\x80", false},     // encoded surrogate
        {"\xF4\x90\x80\x80", false}, // beyond U+10FFFF
        {"\xE2\x82", false},         // cut short
        {"\xE4", false},             // Latin-1 byte
        {"ok \xF0\x9F\x98\x80 then \xFF", false},
        {"\xF0\x9F\x98\x80", true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Bytes);
        bool valid = !c.Valid;
        const std::u32string decoded = DecodeUtf8(c.Bytes, &valid);
        EXPECT_EQ(valid, c.Valid);
        // The check without a copy agrees with the decoder.
        EXPECT_EQ(IsValidUtf8(c.Bytes), c.Valid);
        if (!c.Valid) {
            EXPECT_NE(decoded.find(U'\uFFFD'), std::u32string::npos);
        }
    }
}

// A value cut for display keeps whole characters and says how long it was.
TEST(Text, ShortenedTextCutsAtACharacterAndNamesTheLength) {
    const struct {
        std::string Text;
        std::size_t Max;
        std::string Expected;
    } cases[] = {
        {"short", 5, "short"},
        {"longer", 5, "longe... (6 bytes)"},
        {"ab\xC3\xA4z", 3, "ab... (5 bytes)"}, // never half of the "\xC3\xA4"
        {"ab\xC3\xA4z", 4, "ab\xC3\xA4... (5 bytes)"},
        {std::string(4u << 20, 'v'), 3, "vvv... (4194304 bytes)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ShortenedText(c.Text, c.Max), c.Expected) << c.Text.substr(0, 10);
    }
}

} // namespace
