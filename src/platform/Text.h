#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvane {

// Text helpers shared by every layer; UTF-8 std::string throughout.

// AText without the characters of code 32 and below at either end.
std::string TrimControl(const std::string& AText);

// UTF-8 <-> UTF-16LE. Invalid UTF-8 becomes U+FFFD (and *AValid false);
// unpaired surrogates in UTF-16 become U+FFFD as well.
std::u32string DecodeUtf8(const std::string& AText, bool* AValid = nullptr);
void AppendUtf8(std::string& AOut, char32_t ACode);
std::vector<std::uint8_t> ToUtf16Le(const std::string& AText, bool AWithNul);
// Decodes the whole buffer (an odd last byte is ignored); with AStopAtNul the
// text ends at the first NUL character.
std::string FromUtf16Le(const std::uint8_t* AData, std::size_t ASize, bool AStopAtNul);
inline std::string FromUtf16Le(const std::vector<std::uint8_t>& AData, bool AStopAtNul) {
    return FromUtf16Le(AData.data(), AData.size(), AStopAtNul);
}

// Names folded for comparison without regard to case, the way Windows compares
// registry and account names: upper case, per character.
std::string FoldName(const std::string& AName);
bool SameName(const std::string& A, const std::string& B);

} // namespace orvane
