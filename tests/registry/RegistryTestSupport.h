#pragma once

#include "registry/RegistryStore.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace orvane::test {

// A fresh folder below the system temp folder, removed with everything in it.
class TTempDir {
public:
    TTempDir();
    ~TTempDir();
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;
    const std::filesystem::path& Path() const { return FPath; }
    std::filesystem::path operator/(const std::string& AName) const { return FPath / AName; }

private:
    std::filesystem::path FPath;
};

TRegValue SzValue(const std::string& AName, const std::string& AText);
TRegValue TypedValue(const std::string& AName, TRegValueType AType,
                     std::vector<std::uint8_t> AData);
TRegValue DwordValue(const std::string& AName, std::uint32_t AValue);

// tests/registry/fixtures/<AName>
std::filesystem::path FixturePath(const std::string& AName);
std::string ReadFileBytes(const std::filesystem::path& AFile);
void WriteFileBytes(const std::filesystem::path& AFile, const std::string& ABytes);

// False where the registry sorts values instead of keeping their creation
// order (Wine; Windows and the SQLite store keep it).
bool StoreKeepsValueOrder();
// The key's value names are AExpected, in that order where the store keeps
// creation order, else as a set.
::testing::AssertionResult HasValueNames(TRegistryStore& AStore, const std::string& AKey,
                                         std::vector<std::string> AExpected);

// APath with "/" turned into the platform's path separator.
std::string Native(std::string APath);

// The text of a string value (REG_SZ or REG_EXPAND_SZ) up to its first NUL;
// "<missing>" when absent, "<type N>" for another type.
std::string ReadText(TRegistryStore& AStore, const std::string& AKey, const std::string& AName);

#ifndef _WIN32
// A new SQLite store in its own temp folder (kept alive by the returned holder).
struct TTempStore {
    TTempDir Dir;
    std::shared_ptr<TRegistryStore> Store;
    TTempStore();
    TRegistryStore& operator*() { return *Store; }
    TRegistryStore* operator->() { return Store.get(); }
};
#endif

} // namespace orvane::test
