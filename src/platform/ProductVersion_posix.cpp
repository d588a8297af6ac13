#include "platform/ProductVersion.h"

namespace orvane {

std::optional<TProductVersion> GetProductVersion() {
    return TProductVersion{ORVANE_VERSION_MAJOR, ORVANE_VERSION_MINOR, ORVANE_VERSION_PATCH,
                           ORVANE_VERSION_TWEAK};
}

} // namespace orvane
