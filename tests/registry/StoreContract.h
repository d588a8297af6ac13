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
    // Windows orders names by their upper-case form ("_" after the letters);
    // Wine by the lower-case one.
    bool OrdersNamesUpperCase = true;
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
