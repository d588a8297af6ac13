#include "RegistryTestSupport.h"

#include "platform/FileNames.h"
#include "platform/Privilege.h"
#include "platform/Win32Text.h"
#include "registry/GetItInstallations.h"
#include "registry/RegFile.h"
#include "registry/RegistryBackup.h"
#include "registry/Win32RegistryStore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace orvane::test {
namespace {

const std::string kElements = "SOFTWARE\\Embarcadero\\BDS\\22.0\\CatalogRepository\\Elements";

// Every key below AKey (paths relative to it) with its values sorted by name,
// so that Wine's and Windows' value orders compare alike.
using TTree = std::map<std::string, std::vector<TRegValue>>;

void Collect(TRegistryStore& AStore, const std::string& AKey, const std::string& ARelative,
             TTree& ATree) {
    auto& values = ATree[ARelative];
    for (const auto& name : AStore.ValueNames(AKey))
        values.push_back(*AStore.GetValue(AKey, name));
    std::sort(values.begin(), values.end(),
              [](const TRegValue& A, const TRegValue& B) { return A.Name < B.Name; });
    for (const auto& sub : AStore.SubKeyNames(AKey))
        Collect(AStore, AKey.empty() ? sub : AKey + "\\" + sub,
                ARelative.empty() ? sub : ARelative + "\\" + sub, ATree);
}

TTree Tree(TRegistryStore& AStore, const std::string& AKey) {
    TTree tree;
    Collect(AStore, AKey, "", tree);
    return tree;
}

void ExpectSameTree(const TTree& AActual, const TTree& AExpected) {
    ASSERT_EQ(AActual.size(), AExpected.size());
    for (auto a = AActual.begin(), e = AExpected.begin(); a != AActual.end(); ++a, ++e) {
        SCOPED_TRACE(e->first);
        EXPECT_EQ(a->first, e->first);
        ASSERT_EQ(a->second.size(), e->second.size());
        for (std::size_t i = 0; i < a->second.size(); ++i) {
            EXPECT_EQ(a->second[i].Name, e->second[i].Name);
            EXPECT_EQ(a->second[i].Type, e->second[i].Type) << e->second[i].Name;
            EXPECT_EQ(a->second[i].Data, e->second[i].Data) << e->second[i].Name;
        }
    }
}

// A hive file loaded below HKEY_USERS for the life of the object.
class TLoadedHive {
public:
    explicit TLoadedHive(const std::filesystem::path& AFile)
        : FName(L"OrvaneBackup-" + std::to_wstring(GetCurrentProcessId())) {
        FResult = RegLoadKeyW(HKEY_USERS, FName.c_str(), AFile.wstring().c_str());
    }
    ~TLoadedHive() {
        if (FResult == ERROR_SUCCESS)
            RegUnLoadKeyW(HKEY_USERS, FName.c_str());
    }
    LSTATUS Result() const { return FResult; }
    std::shared_ptr<TRegistryStore> Store() const {
        return OpenWin32RegistryStore(HKEY_USERS, Narrow(FName));
    }

private:
    std::wstring FName;
    LSTATUS FResult;
};

// The cleanup saves each element with RegSaveKeyW before deleting it; the
// backup must load again (RegLoadKeyW, which needs SeRestorePrivilege) with
// the element's sub-keys and values. RegRestoreKeyW would be the other way
// back on Windows, but Wine only stubs it.
TEST(Win32Backup, CleanupBackupLoadsBackWithTheElementsKeysAndValues) {
    TTempStore store;
    const std::string element = kElements + "\\Orvane-Pack-5.1";
    ASSERT_TRUE(store->CreateKey(element + "\\Files\\Win32"));
    ASSERT_TRUE(store->CreateKey(element + "\\Metadata"));
    ASSERT_TRUE(store->CreateKey(kElements + "\\Other-Pack"));
    ASSERT_TRUE(store->SetValue(element, SzValue("Name", "Orvane Pack")));
    ASSERT_TRUE(store->SetValue(element, SzValue("", "default value")));
    ASSERT_TRUE(store->SetValue(element, DwordValue("Installed", 1)));
    ASSERT_TRUE(store->SetValue(element + "\\Files\\Win32",
                                TypedValue("List", rtMultiSz, SzValue("", "a.bpl").Data)));
    ASSERT_TRUE(store->SetValue(element + "\\Metadata",
                                TypedValue("Hash", rtBinary, {0x00, 0xFF, 0x10, 0x7F})));
    ASSERT_TRUE(store->SetValue(element + "\\Metadata",
                                TypedValue("Dir", rtExpandSz, SzValue("", "%BDS%\\Orvane").Data)));
    const TTree before = Tree(*store, element);
    ASSERT_EQ(before.size(), 4u); // the element, Files, Files\Win32, Metadata

    const std::string backupDir = store.Dir.Path().string() + "\\";
    std::vector<std::string> questions;
    CleanupGetItInstallation(*store, backupDir, nullptr, [&](const std::string& AQuestion) {
        questions.push_back(AQuestion);
        return true;
    });
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_FALSE(store->KeyExists(element));
    EXPECT_TRUE(store->KeyExists(kElements + "\\Other-Pack"));

    const auto backup = store.Dir / "Orvane-Pack-5.1.reg";
    ASSERT_TRUE(std::filesystem::is_regular_file(backup));
    ASSERT_TRUE(EnablePrivilege("SeRestorePrivilege", true));
    ASSERT_TRUE(EnablePrivilege("SeBackupPrivilege", true));
    TLoadedHive hive(backup);
    ASSERT_EQ(hive.Result(), ERROR_SUCCESS) << SystemErrorText(hive.Result());
    ExpectSameTree(Tree(*hive.Store(), ""), before);
}

// Saving onto an existing file fails on Windows and leaves the file; Wine
// would overwrite it, so the store refuses before calling.
TEST(Win32Backup, SecondBackupOfTheSameNameKeepsTheFirst) {
    TTempStore store;
    ASSERT_TRUE(store->CreateKey("Saved\\Below"));
    const auto file = store.Dir / "saved.reg";
    ASSERT_TRUE(store->SaveKey("Saved", file));
    const std::string first = ReadFileBytes(file);
    ASSERT_TRUE(store->SetValue("Saved", SzValue("added", "later")));
    EXPECT_FALSE(store->SaveKey("Saved", file));
    EXPECT_FALSE(store->LastErrorText().empty());
    EXPECT_EQ(ReadFileBytes(file), first);
}

// The backup folder arrives as UTF-8 text; a folder such as the user's own
// documents below C:\Users\François must take the backup like any other.
TEST(Win32Backup, CleanupSavesIntoAFolderWithNonAsciiCharacters) {
    TTempStore store;
    const std::string element = kElements + "\\Orvane-Pack-5.1";
    ASSERT_TRUE(store->CreateKey(element));
    ASSERT_TRUE(store->SetValue(element, SzValue("Name", "Orvane Pack")));
    const std::string folderText =
        Utf8FromPath(store.Dir.Path()) + "\\Fran\xC3\xA7ois\\Documents\\Orvane\\";
    const std::filesystem::path folder = PathFromUtf8(folderText);
    ASSERT_TRUE(std::filesystem::create_directories(folder));

    std::vector<std::string> log;
    CleanupGetItInstallation(
        *store, folderText, [&](const std::string& ALine) { log.push_back(ALine); },
        [](const std::string&) { return true; });

    EXPECT_FALSE(store->KeyExists(element));
    const auto backup = folder / "Orvane-Pack-5.1.reg";
    EXPECT_TRUE(std::filesystem::is_regular_file(backup));
    EXPECT_NE(std::find(log.begin(), log.end(),
                        "Creating registry backup at: " + folderText + "Orvane-Pack-5.1.reg"),
              log.end());
    RestoreSavedKey(store, backup, element);
    EXPECT_EQ(ReadText(*store, element, "Name"), "Orvane Pack");
}

// A value named "Orvane_" + an unpaired surrogate + "x": no UTF-8 text names
// it, so a backup read through names could neither hold nor restore it.
LSTATUS SetUnpairedSurrogateValue(const std::string& AFullKey) {
    HKEY key = nullptr;
    LSTATUS rc = RegOpenKeyExW(HKEY_CURRENT_USER, Widen(AFullKey).c_str(), 0, KEY_SET_VALUE, &key);
    if (rc != ERROR_SUCCESS)
        return rc;
    const wchar_t name[] = {L'O', L'r', L'v', L'a', L'n', L'e', L'_', 0xD800, L'x', 0};
    const wchar_t data[] = L"Orvane_Core290.bpl";
    rc = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data), sizeof data);
    RegCloseKey(key);
    return rc;
}

const std::string kKnown = "SOFTWARE\\Embarcadero\\BDS\\23.0\\Known Packages";

// A backup that cannot hold every value and key it would delete on import
// fails, and writes no file: the step then stops before any change.
TEST(Win32Backup, ABackupThatCannotHoldWhatItRestoresFails) {
    struct TCase {
        const char* Label;
        bool Surrogate;
        bool Whole;
        const char* Reason;
    } const cases[] = {
        {"unpaired surrogate in a value name", true, false, "is not valid UTF-16"},
        {"unpaired surrogate in a whole key", true, true, "is not valid UTF-16"},
        {"unreadable sub-key of a whole key", false, true, "Cannot read the key"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Label);
        TTempStore store;
        ASSERT_TRUE(store->CreateKey(kKnown + "\\Below"));
        ASSERT_TRUE(store->SetValue(kKnown, SzValue("$(BDS)\\bin\\dclstd290.bpl", "Standard")));
        if (c.Surrogate) {
            ASSERT_EQ(SetUnpairedSurrogateValue(store.HiveKey + "\\" + kKnown), ERROR_SUCCESS);
        } else {
            ASSERT_TRUE(DenyKeyAccess(store.HiveKey + "\\" + kKnown + "\\Below", KEY_READ));
        }
        try {
            WriteRegistryBackup(*store, store.Dir / "Backups", "23.0 install",
                                {{kKnown, {}, c.Whole}});
            ADD_FAILURE() << "the backup was written";
        } catch (const ERegistryStoreError& error) {
            EXPECT_NE(std::string(error.what()).find(c.Reason), std::string::npos) << error.what();
        }
        EXPECT_FALSE(std::filesystem::exists(store.Dir / "Backups"));
        EXPECT_TRUE(DenyKeyAccess(store.HiveKey + "\\" + kKnown + "\\Below", 0));
    }
}

// A key whose values are restored is never deleted on import: a sub-key the
// backup cannot read stays as it is.
TEST(Win32Backup, AnUnreadableSubKeyOfAKeyWhoseValuesAreRestoredStays) {
    TTempStore store;
    ASSERT_TRUE(store->CreateKey(kKnown + "\\Below"));
    ASSERT_TRUE(store->SetValue(kKnown + "\\Below", SzValue("kept", "yes")));
    ASSERT_TRUE(store->SetValue(kKnown, SzValue("$(BDS)\\bin\\dclstd290.bpl", "Standard")));
    ASSERT_TRUE(DenyKeyAccess(store.HiveKey + "\\" + kKnown + "\\Below", KEY_READ));
    const auto backup = WriteRegistryBackup(*store, store.Dir / "Backups", "23.0 install",
                                            {{kKnown, {"/new.bpl"}}});
    ASSERT_TRUE(store->DeleteValue(kKnown, "$(BDS)\\bin\\dclstd290.bpl"));
    ASSERT_TRUE(store->SetValue(kKnown, SzValue("/new.bpl", "new")));
    ImportRegFile(*store, backup);
    EXPECT_EQ(store->ValueNames(kKnown), std::vector<std::string>{"$(BDS)\\bin\\dclstd290.bpl"});
    ASSERT_TRUE(DenyKeyAccess(store.HiveKey + "\\" + kKnown + "\\Below", 0));
    EXPECT_EQ(ReadText(*store, kKnown + "\\Below", "kept"), "yes");
}

} // namespace
} // namespace orvane::test
