#pragma once

#include "registry/RegistryStore.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace orvane::test {

// One store implementation under the contract. Create returns a store that may
// hold other data; each test works below its own key and removes it.
struct TStoreFactory {
    std::string Name;
    std::function<std::shared_ptr<TRegistryStore>(const std::filesystem::path& ATempDir)> Create;
    // Known deviations of an emulated registry (Wine), not of Windows itself.
    bool KeepsValueCreationOrder = true;
    bool SaveRefusesExistingFile = true;
    // Windows orders sub-keys by their upper-cased names ("_" after the
    // letters); Wine compares lower-cased names.
    bool OrdersSubKeysUpperCased = true;
    // Windows keeps a string's bytes as written, terminator or not; Wine adds
    // a missing terminator.
    bool KeepsUnterminatedStrings = true;
};

class StoreContract : public ::testing::TestWithParam<TStoreFactory> {
protected:
    void SetUp() override;
    void TearDown() override;

    // "SOFTWARE\OrvaneStoreContract\<test name>" plus "\ASub" when given.
    std::string Key(const std::string& ASub = "") const;

    std::filesystem::path FTempDir;
    std::shared_ptr<TRegistryStore> FStore;

private:
    std::string FTestKey;
};

std::string FactoryName(const ::testing::TestParamInfo<TStoreFactory>& AInfo);

} // namespace orvane::test
