#pragma once

// The registry's name folding (FoldName, SameName) is the platform's: account
// names compare the same way.
#include "platform/Text.h"
