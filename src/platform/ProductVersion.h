#pragma once

#include <optional>

namespace orvane {

// Fixed product version of the running executable (the window title uses the
// first three numbers).
struct TProductVersion {
    unsigned Major = 0;
    unsigned Minor = 0;
    unsigned Build = 0;
    unsigned Revision = 0;
};

// Windows: the version resource of the running executable. Elsewhere there is
// no resource, so the version compiled in from the CMake project is returned.
std::optional<TProductVersion> GetProductVersion();

} // namespace orvane
