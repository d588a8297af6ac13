#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {

// Text helpers shared by every layer; UTF-8 std::string throughout.

// AText without the characters of code 32 and below at either end.
std::string TrimControl(const std::string& AText);

// UTF-8 <-> UTF-16LE. Invalid UTF-8 becomes U+FFFD (and *AValid false);
// unpaired surrogates in UTF-16 become U+FFFD as well.
std::u32string DecodeUtf8(const std::string& AText, bool* AValid = nullptr);
// Whether AText is well-formed UTF-8, without decoding it into a copy.
bool IsValidUtf8(std::string_view AText);
void AppendUtf8(std::string& AOut, char32_t ACode);
std::vector<std::uint8_t> ToUtf16Le(const std::string& AText, bool AWithNul);
// Decodes the whole buffer (an odd last byte is ignored); with AStopAtNul the
// text ends at the first NUL character.
std::string FromUtf16Le(const std::uint8_t* AData, std::size_t ASize, bool AStopAtNul);
inline std::string FromUtf16Le(const std::vector<std::uint8_t>& AData, bool AStopAtNul) {
    return FromUtf16Le(AData.data(), AData.size(), AStopAtNul);
}

// A value from outside with its control characters as "\xNN" escapes: a line
// break or an escape sequence of a hostile name never reaches the log raw.
std::string Visible(const std::string& AText);

// AText without control characters other than line breaks and tabs: what
// came from a file or an answer never puts an escape sequence or a lone
// carriage return into the log or the registry.
std::string WithoutControlCharacters(const std::string& AText);

// AText in double quotes, as messages and the log name files and values.
std::string Quoted(const std::string& AText);

// "1.5 MiB": a byte count for a message.
std::string FormatByteSize(std::uint64_t ABytes);

// AText when it has at most AMaxBytes bytes, else its first AMaxBytes bytes
// (never half a character) followed by "... (N bytes)": a value from outside as
// a message or the log shows it.
std::string ShortenedText(const std::string& AText, std::size_t AMaxBytes);
// What a single value from outside (a name, a version) is cut to.
inline constexpr std::size_t KShownValueBytes = 200;

// Names folded for comparison without regard to case, the way Windows compares
// registry and account names: upper case, per character.
std::string FoldName(const std::string& AName);
bool SameName(const std::string& A, const std::string& B);

} // namespace orvane
