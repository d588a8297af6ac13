#pragma once

#include <string>

namespace orvane {

// Enables or disables a privilege of the current process token. True when the
// adjustment went through; false when the token does not hold the privilege
// (an ordinary, not elevated, prompt holds no backup or restore privilege);
// throws std::runtime_error with the system's message when the token cannot be
// opened, the privilege looked up or the token adjusted. Without process
// tokens (not Windows) there is nothing to adjust and it returns true.
bool EnablePrivilege(const std::string& APrivilege, bool AEnable);

} // namespace orvane
