#pragma once

#include "registry/RegistryStore.h"

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

// APath with "/" turned into the platform's path separator.
std::string Native(std::string APath);

// The text of a string value (REG_SZ or REG_EXPAND_SZ) up to its first NUL;
// "<missing>" when absent, "<type N>" for another type.
std::string ReadText(TRegistryStore& AStore, const std::string& AKey, const std::string& AName);

// The values of a key as "name=text" lines (ReadText), sorted by name: a key's
// contents to compare before and after.
std::string ValuesOf(TRegistryStore& AStore, const std::string& AKey);

// AText with every "/" turned into the platform's path separator: the path
// entries the routines append use it.
std::string Native(std::string AText);

// Value names as Windows and the SQLite store enumerate them: creation order.
// Wine sorts values, so under Wine both sides of a comparison are sorted.
std::vector<std::string> InValueOrder(std::vector<std::string> ANames);

// What a step may do to a key its backup holds: every value deleted, a value
// "Added" written, and with AWhole the key itself deleted.
void ChangeAsAStepWould(TRegistryStore& AStore, const std::string& AKey, bool AWhole);

// A new, empty store with its own temp folder: a SQLite file in that folder, or
// on Windows a scratch key of the real registry (removed again at the end).
struct TTempStore {
    TTempDir Dir;
    // Windows: the scratch key below HKEY_CURRENT_USER that holds the store's root.
    std::string HiveKey;
    std::shared_ptr<TRegistryStore> Store;
    TTempStore();
    TRegistryStore& operator*() { return *Store; }
    TRegistryStore* operator->() { return Store.get(); }
};

// Puts a key saved by SaveKey back as AKey (no leading or trailing "\\"): a .reg
// file is imported (it names its keys), a Windows hive file is loaded and copied
// there, as RegRestoreKeyW would (Wine only stubs that function).
void RestoreSavedKey(TTempStore& AStore, const std::filesystem::path& AFile,
                     const std::string& AKey);

// A key the current user may read but not change (its values set or deleted,
// sub-keys created). The store to work on is returned: on Windows AStore itself,
// with a DACL on the real key that denies the user KEY_SET_VALUE and
// KEY_CREATE_SUB_KEY (*AByKeySecurity true); when the system does not honour
// that, and on the portable store, whose keys carry no rights, a store in front
// of AStore that refuses those writes on AKey (*AByKeySecurity false).
std::shared_ptr<TRegistryStore> DenyWrites(TTempStore& AStore, const std::string& AKey,
                                           bool* AByKeySecurity = nullptr);

#ifdef _WIN32
// A store on HKEY_CURRENT_USER below its own key "Software\OrvaneTests\<unique>",
// deleted with everything below it when the last reference goes. The process
// has SeBackupPrivilege enabled, as the installer enables it before saving keys.
// APrefix, when given, receives the scratch key's path below HKEY_CURRENT_USER.
std::shared_ptr<TRegistryStore> OpenScratchRegistryStore(std::string* APrefix = nullptr);
// Wine stands in for Windows; a few of its results differ from Windows.
bool RunningUnderWine();
// Gives AKey (below HKEY_CURRENT_USER) a DACL that denies the current user
// ADenied and allows everything else; 0 allows everything again. The owner
// keeps the right to change the DACL.
bool DenyKeyAccess(const std::string& AKey, std::uint32_t ADenied);
// Imports the .reg file AFile, which names keys of AStore, with the system's
// regedit (silently, waiting for it): a copy of the file names them below the
// store's scratch key.
void ImportWithRegedit(TTempStore& AStore, const std::filesystem::path& AFile);
#endif

} // namespace orvane::test
