#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace orvane::fuzz {

// A folder of this process's own below the temp folder, made on first use and
// removed when the process ends normally.
const std::filesystem::path& ScratchDir();

// Writes the bytes as a new file, replacing an earlier one.
void WriteBytes(const std::filesystem::path& AFile, const std::uint8_t* AData, std::size_t ASize);

// Ends the process the way a sanitizer report would, so the fuzzer keeps the
// input: for properties the code under test must never break.
[[noreturn]] void Violated(const std::string& AWhat);

} // namespace orvane::fuzz
