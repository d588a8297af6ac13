#pragma once

#include "platform/Text.h"

#include <string>

namespace orvane {

// Name folding for case-insensitive comparison the way the registry compares
// names: upper case, per character.
std::string FoldName(const std::string& AName);
bool SameName(const std::string& A, const std::string& B);

} // namespace orvane
