#pragma once

#include "platform/SessionAccount.h"

#include <QString>

// The warning for an installer that runs as another account than the signed-in
// one, naming both and what follows; empty when there is nothing to warn about
// (the same account, or the question left open).
QString SessionAccountWarning(const orvane::TSessionAccounts& AAccounts);
