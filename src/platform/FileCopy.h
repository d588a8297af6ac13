#pragma once

#include <string>

namespace orvane {

// Copies a file without ever overwriting. Throws std::runtime_error, tested in
// this order, with "The specified file was not found" (no source), "The
// specified path was not found" (no destination folder), "The specified file
// already exists" (destination present), or the system's message when the
// copy itself fails.
void CopyFileNoOverwrite(const std::string& ASource, const std::string& ADest);

} // namespace orvane
