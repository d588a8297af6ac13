#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Writes a package-sized zip of ATotal bytes in AFiles files below platform
// folders with "Release" and "C/hpp" (a few big files, many small ones), plus
// AExtra as (entry name, content).
void WritePackageZip(const std::string& AZip, std::uint64_t ATotal, std::size_t AFiles,
                     const std::vector<std::pair<std::string, std::string>>& AExtra = {});
