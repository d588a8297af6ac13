#include "RegistryTestSupport.h"

#include "support/ForwardingStore.h"

#include "platform/FileNames.h"
#include "platform/SystemFolders.h"
#include "registry/RegFile.h"
#include "registry/RegText.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include "platform/Privilege.h"
#include "platform/Win32Text.h"
#include "registry/Win32RegistryStore.h"
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace orvane::test {

TTempDir::TTempDir() {
    std::random_device device;
    std::mt19937_64 random(
        device() ^
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    for (int attempt = 0; attempt < 100; ++attempt) {
        const auto candidate =
            std::filesystem::temp_directory_path() / ("regtest-" + std::to_string(random()));
        if (std::filesystem::create_directory(candidate)) {
            FPath = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a temp folder");
}

TTempDir::~TTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(FPath, ec);
}

TRegValue SzValue(const std::string& AName, const std::string& AText) {
    return TypedValue(AName, rtSz, ToUtf16Le(AText, true));
}

TRegValue TypedValue(const std::string& AName, TRegValueType AType,
                     std::vector<std::uint8_t> AData) {
    TRegValue value;
    value.Name = AName;
    value.Type = AType;
    value.Data = std::move(AData);
    return value;
}

TRegValue DwordValue(const std::string& AName, std::uint32_t AValue) {
    return TypedValue(AName, rtDword,
                      {static_cast<std::uint8_t>(AValue), static_cast<std::uint8_t>(AValue >> 8),
                       static_cast<std::uint8_t>(AValue >> 16),
                       static_cast<std::uint8_t>(AValue >> 24)});
}

std::filesystem::path FixturePath(const std::string& AName) {
    const char* source = std::getenv("ORVANE_SOURCE_DIR");
    if (!source || !*source) {
        throw std::runtime_error("ORVANE_SOURCE_DIR is not set");
    }
    return std::filesystem::path(source) / "tests" / "registry" / "fixtures" / AName;
}

std::string ReadFileBytes(const std::filesystem::path& AFile) {
    std::ifstream in(AFile, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + AFile.string());
    }
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::filesystem::path& AFile, const std::string& ABytes) {
    std::ofstream out(AFile, std::ios::binary | std::ios::trunc);
    out << ABytes;
    if (!out) {
        throw std::runtime_error("cannot write " + AFile.string());
    }
}

std::string ReadText(TRegistryStore& AStore, const std::string& AKey, const std::string& AName) {
    const auto value = AStore.GetValue(AKey, AName);
    if (!value) {
        return "<missing>";
    }
    if (value->Type != rtSz && value->Type != rtExpandSz) {
        return "<type " + std::to_string(value->Type) + ">";
    }
    return FromUtf16Le(value->Data, true);
}

std::string ValuesOf(TRegistryStore& AStore, const std::string& AKey) {
    std::vector<std::string> names = AStore.ValueNames(AKey);
    std::sort(names.begin(), names.end());
    std::string text;
    for (const auto& name : names) {
        text += name + "=" + ReadText(AStore, AKey, name) + "\n";
    }
    return text;
}

std::string Native(std::string APath) {
    for (char& c : APath) {
        if (c == '/') {
            c = PathDelimiter();
        }
    }
    return APath;
}

std::vector<std::string> InValueOrder(std::vector<std::string> ANames) {
#ifdef _WIN32
    if (RunningUnderWine())
        std::sort(ANames.begin(), ANames.end());
#endif
    return ANames;
}

namespace {

class TWriteDeniedStore : public TForwardingStore {
public:
    TWriteDeniedStore(std::shared_ptr<TRegistryStore> AInner, std::string AKey)
        : TForwardingStore(std::move(AInner)), FKey(std::move(AKey)) {}

    bool CanWriteKey(const std::string& AKey) override {
        return !Denied(AKey) && Inner().CanWriteKey(AKey);
    }
    bool CreateKey(const std::string& AKey) override {
        // Creating the key itself opens it for writing; a new sub-key needs
        // the right to create sub-keys.
        const auto slash = AKey.rfind('\\');
        const bool newChild =
            slash != std::string::npos && Denied(AKey.substr(0, slash)) && !Inner().KeyExists(AKey);
        return !Denied(AKey) && !newChild && Inner().CreateKey(AKey);
    }
    bool SetValue(const std::string& AKey, const TRegValue& AValue) override {
        return !Denied(AKey) && Inner().SetValue(AKey, AValue);
    }
    bool DeleteValue(const std::string& AKey, const std::string& AName) override {
        return !Denied(AKey) && Inner().DeleteValue(AKey, AName);
    }

private:
    bool Denied(const std::string& AKey) const { return SameName(AKey, FKey); }

    std::string FKey;
};

#ifdef _WIN32
// Denies the current user the right to change AKey (below HKEY_CURRENT_USER);
// everything else stays allowed, so the scratch key can still be deleted.
bool DenyWritesByKeySecurity(const std::string& AKey) {
    if (!DenyKeyAccess(AKey, KEY_SET_VALUE | KEY_CREATE_SUB_KEY))
        return false;
    // Honoured only when a writing open is now refused.
    HKEY probe = nullptr;
    const LSTATUS rc =
        RegOpenKeyExW(HKEY_CURRENT_USER, Widen(AKey).c_str(), 0, KEY_READ | KEY_WRITE, &probe);
    if (rc == ERROR_SUCCESS)
        RegCloseKey(probe);
    return rc == ERROR_ACCESS_DENIED;
}
#endif

} // namespace

#ifdef _WIN32
bool DenyKeyAccess(const std::string& AKey, std::uint32_t ADenied) {
    HKEY key = nullptr;
    // WRITE_DAC alone: a key whose reading is denied must still get its access back.
    if (RegOpenKeyExW(HKEY_CURRENT_USER, Widen(AKey).c_str(), 0, WRITE_DAC, &key) != ERROR_SUCCESS)
        return false;
    HANDLE token = nullptr;
    std::vector<std::uint64_t> user(64);
    DWORD size = 0;
    const bool haveUser = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
                          GetTokenInformation(token, TokenUser, user.data(),
                                              static_cast<DWORD>(user.size() * 8), &size);
    if (token != nullptr)
        CloseHandle(token);
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    bool ok = haveUser && AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0,
                                                   0, &everyone);
    std::vector<std::uint64_t> acl(128);
    auto* list = reinterpret_cast<PACL>(acl.data());
    const PSID self = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
    ok = ok && InitializeAcl(list, static_cast<DWORD>(acl.size() * 8), ACL_REVISION) &&
         (ADenied == 0 || AddAccessDeniedAce(list, ACL_REVISION, ADenied, self)) &&
         AddAccessAllowedAce(list, ACL_REVISION, KEY_ALL_ACCESS, everyone);
    SECURITY_DESCRIPTOR descriptor{};
    ok = ok && InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
         SetSecurityDescriptorDacl(&descriptor, TRUE, list, FALSE) &&
         RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &descriptor) == ERROR_SUCCESS;
    if (everyone != nullptr)
        FreeSid(everyone);
    RegCloseKey(key);
    return ok;
}
#endif

void ChangeAsAStepWould(TRegistryStore& AStore, const std::string& AKey, bool AWhole) {
    for (const TRegValue& value : AStore.Values(AKey)) {
        ASSERT_TRUE(AStore.DeleteValue(AKey, value.Name)) << value.Name;
    }
    ASSERT_TRUE(AStore.SetValue(AKey, SzValue("Added", "by the step")));
    if (AWhole) {
        ASSERT_TRUE(AStore.DeleteKey(AKey));
    }
}

std::shared_ptr<TRegistryStore> DenyWrites(TTempStore& AStore, const std::string& AKey,
                                           bool* AByKeySecurity) {
    bool bySecurity = false;
#ifdef _WIN32
    bySecurity = DenyWritesByKeySecurity(AStore.HiveKey + "\\" + AKey);
#endif
    if (AByKeySecurity != nullptr)
        *AByKeySecurity = bySecurity;
    if (bySecurity)
        return AStore.Store;
    return std::make_shared<TWriteDeniedStore>(AStore.Store, AKey);
}

#ifdef _WIN32
namespace {

void CopyTree(TRegistryStore& AFrom, const std::string& AFromKey, TRegistryStore& ATo,
              const std::string& AToKey) {
    if (!ATo.CreateKey(AToKey)) {
        throw std::runtime_error("cannot create " + AToKey + ": " + ATo.LastErrorText());
    }
    for (const auto& name : AFrom.ValueNames(AFromKey)) {
        ATo.SetValue(AToKey, *AFrom.GetValue(AFromKey, name));
    }
    for (const auto& sub : AFrom.SubKeyNames(AFromKey)) {
        CopyTree(AFrom, AFromKey.empty() ? sub : AFromKey + "\\" + sub, ATo, AToKey + "\\" + sub);
    }
}

} // namespace

void RestoreSavedKey(TTempStore& AStore, const std::filesystem::path& AFile,
                     const std::string& AKey) {
    EnablePrivilege("SeRestorePrivilege", true);
    EnablePrivilege("SeBackupPrivilege", true);
    const std::wstring mount = L"OrvaneRestore-" + std::to_wstring(GetCurrentProcessId());
    const LSTATUS rc = RegLoadKeyW(HKEY_USERS, mount.c_str(), AFile.wstring().c_str());
    if (rc != ERROR_SUCCESS) {
        throw std::runtime_error("cannot load " + Utf8FromPath(AFile) + ": " +
                                 SystemErrorText(static_cast<DWORD>(rc)));
    }
    try {
        auto hive = OpenWin32RegistryStore(HKEY_USERS, Narrow(mount));
        CopyTree(*hive, "", *AStore, AKey);
    } catch (...) {
        RegUnLoadKeyW(HKEY_USERS, mount.c_str());
        throw;
    }
    RegUnLoadKeyW(HKEY_USERS, mount.c_str());
}

TTempStore::TTempStore() : Store(OpenScratchRegistryStore(&HiveKey)) {}

std::shared_ptr<TRegistryStore> OpenScratchRegistryStore(std::string* APrefix) {
    static std::atomic<unsigned> counter{0};
    static const bool privileged = EnablePrivilege("SeBackupPrivilege", true);
    (void)privileged;
    const std::string prefix = "Software\\OrvaneTests\\" + std::to_string(GetCurrentProcessId()) +
                               "-" + std::to_string(++counter);
    auto store = OpenWin32RegistryStore(HKEY_CURRENT_USER, prefix);
    if (APrefix != nullptr)
        *APrefix = prefix;
    return std::shared_ptr<TRegistryStore>(store.get(), [store, prefix](TRegistryStore*) {
        OpenWin32RegistryStore(HKEY_CURRENT_USER)->DeleteKey(prefix);
    });
}

void ImportWithRegedit(TTempStore& AStore, const std::filesystem::path& AFile) {
    const std::string bytes = ReadFileBytes(AFile);
    ASSERT_GE(bytes.size(), 2u);
    std::string text = FromUtf16Le(reinterpret_cast<const std::uint8_t*>(bytes.data()) + 2,
                                   bytes.size() - 2, false);
    const std::string hive = "HKEY_CURRENT_USER\\";
    for (std::size_t at = text.find(hive); at != std::string::npos; at = text.find(hive, at + 1)) {
        text.insert(at + hive.size(), AStore.HiveKey + "\\");
    }
    const std::filesystem::path copy = AStore.Dir / "for-regedit.reg";
    std::filesystem::remove(copy);
    std::string error;
    ASSERT_TRUE(WriteNewRegFile(copy, text, error)) << error;
    std::wstring command = L"regedit.exe /s \"" + copy.wstring() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &process))
        << SystemErrorText(GetLastError());
    EXPECT_EQ(WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    EXPECT_EQ(code, 0u) << "regedit /s failed";
}

bool RunningUnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}
#else
TTempStore::TTempStore() : Store(OpenSqliteRegistryStore(Dir / "registry.sqlite")) {}

void RestoreSavedKey(TTempStore& AStore, const std::filesystem::path& AFile, const std::string&) {
    ImportRegFile(*AStore, AFile);
}
#endif

} // namespace orvane::test
