#include "platform/Privilege.h"

namespace orvane {

// Without process tokens there is nothing to enable: saving a key needs no
// privilege in the portable store.
bool EnablePrivilege(const std::string&, bool) {
    return true;
}

} // namespace orvane
