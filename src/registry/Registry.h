#pragma once

#include "registry/RegistryStore.h"

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvane {

// Access masks as Windows numbers them (KEY_READ, KEY_READ | KEY_WRITE).
enum TRegAccess : std::uint32_t {
    raRead = 0x20019,
    raReadWrite = 0x2001F,
};

// "Failed to create key %s", "Failed to set data for '%s'", "Invalid data type for '%s'".
class ERegistryException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An accessor on HKEY_CURRENT_USER with one access mask and at most one open
// key. Key paths may end with "\"; a path is taken below the open key while
// one is open, else below the root (a leading "\" always means the root).
// Store failures (ERegistryStoreError) pass through unchanged.
class TRegistry {
public:
    explicit TRegistry(TRegistryStore& AStore, TRegAccess AAccess = raReadWrite);
    TRegistry(const TRegistry&) = delete;
    TRegistry& operator=(const TRegistry&) = delete;

    TRegAccess Access() const { return FAccess; }
    // Path of the open key from the root, without a trailing "\"; empty when none is open.
    const std::string& CurrentPath() const { return FCurrentPath; }
    bool HasCurrentKey() const { return FOpen; }

    bool KeyExists(const std::string& AKey);
    // Creates the key with its missing parents; throws "Failed to create key %s".
    void CreateKey(const std::string& AKey);
    // Makes the key the current one; false when it cannot be opened (or created)
    // with the accessor's access: a writing accessor does not open a key it may
    // not change.
    bool OpenKey(const std::string& AKey, bool ACanCreate);
    void CloseKey();

    // Missing value or no data: "". REG_SZ / REG_EXPAND_SZ: up to the first NUL,
    // unexpanded. Any other type throws "Invalid data type for '%s'".
    std::string ReadString(const std::string& AName);
    // As ReadString, with a REG_EXPAND_SZ expanded from the environment
    // (ExpandEnvironmentText): the IDE may keep its folders as
    // "%PUBLIC%\Documents\...".
    std::string ReadExpandedString(const std::string& AName);
    // Creates or replaces a REG_SZ; throws "Failed to set data for '%s'".
    void WriteString(const std::string& AName, const std::string& AValue);
    bool ValueExists(const std::string& AName);
    std::vector<std::string> GetKeyNames();
    std::vector<std::string> GetValueNames();
    bool DeleteValue(const std::string& AName);
    // Deletes the key with everything below it.
    bool DeleteKey(const std::string& AKey);
    // Saves the key with everything below it into a new file. False on any
    // failure (LastError() then says why); never throws.
    bool SaveKey(const std::string& AKey, const std::filesystem::path& AFile);
    const std::string& LastError() const { return FLastError; }

private:
    // Full path from the root, without leading or trailing "\".
    std::string Resolve(const std::string& AKey) const;
    bool CanWrite() const { return FAccess == raReadWrite; }

    TRegistryStore& FStore;
    TRegAccess FAccess;
    bool FOpen = false;
    std::string FCurrentPath;
    std::string FLastError;
};

// Opens AKey (created when missing) as the current key of a writing accessor;
// a key that exists but may not be changed throws "Failed to open key %s for
// writing": skipping it would report a change the IDE never sees.
void OpenForWriting(TRegistry& AReg, const std::string& AKey);

} // namespace orvane
