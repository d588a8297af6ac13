#pragma once

// Qt-free: the registry tests also build for Windows.
#include "platform/Text.h"
#include "registry/RegFile.h"
#include "registry/RegistryStore.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

// The key with everything below it as .reg text, each key's values in name
// order: what a restore must bring back. The order a store enumerates values
// in carries no meaning, and a restore that re-creates a value moves it to the
// end.
inline std::string RegContents(orvane::TRegistryStore& AStore, const std::string& AKey) {
    std::vector<std::pair<std::string, std::string>> LValues;
    for (const orvane::TRegValue& LValue : AStore.Values(AKey)) {
        LValues.emplace_back(orvane::FoldName(LValue.Name), orvane::RegValueText(LValue));
    }
    std::sort(LValues.begin(), LValues.end());
    std::string LText = "[" + AKey + "]\r\n";
    for (const auto& LValue : LValues) {
        LText += LValue.second;
    }
    for (const std::string& LSub : AStore.SubKeyNames(AKey)) {
        LText += RegContents(AStore, AKey.empty() ? LSub : AKey + "\\" + LSub);
    }
    return LText;
}
