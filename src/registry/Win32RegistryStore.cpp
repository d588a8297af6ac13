#include "registry/Win32RegistryStore.h"

#include "platform/Win32Text.h"

#include <shlobj.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <utility>
#include <vector>

namespace orvane {

namespace {

using TKeyHandle = TOwnedHandle<HKEY, &RegCloseKey>;

bool SameName(const std::wstring& A, const std::wstring& B) {
    return CompareStringOrdinal(A.c_str(), static_cast<int>(A.size()), B.c_str(),
                                static_cast<int>(B.size()), TRUE) == CSTR_EQUAL;
}

// Sub-key names of an open key, as the system enumerates them (Windows:
// case-insensitive name order).
std::vector<std::wstring> EnumSubKeys(HKEY AKey) {
    std::vector<std::wstring> names;
    std::vector<wchar_t> buffer(256);
    for (DWORD index = 0;;) {
        DWORD len = static_cast<DWORD>(buffer.size());
        const LSTATUS rc =
            RegEnumKeyExW(AKey, index, buffer.data(), &len, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_MORE_DATA) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc != ERROR_SUCCESS)
            break;
        names.emplace_back(buffer.data(), len);
        ++index;
    }
    return names;
}

// Value names of an open key, as the system enumerates them (Windows: creation
// order; Wine sorts them, which nothing here relies on).
std::vector<std::wstring> EnumValues(HKEY AKey) {
    std::vector<std::wstring> names;
    // Value names are at most 16383 characters.
    std::vector<wchar_t> buffer(16384);
    for (DWORD index = 0;; ++index) {
        DWORD len = static_cast<DWORD>(buffer.size());
        if (RegEnumValueW(AKey, index, buffer.data(), &len, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        names.emplace_back(buffer.data(), len);
    }
    return names;
}

// Deepest keys first: RegDeleteKeyW refuses a key that still has sub-keys.
LSTATUS DeleteKeyTree(HKEY AParent, const std::wstring& AName) {
    {
        TKeyHandle key;
        const LSTATUS rc = RegOpenKeyExW(AParent, AName.c_str(), 0,
                                         KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE, key.Out());
        if (rc != ERROR_SUCCESS)
            return rc;
        for (const auto& child : EnumSubKeys(key.Get()))
            DeleteKeyTree(key.Get(), child);
    }
    return RegDeleteKeyW(AParent, AName.c_str());
}

class TWin32RegistryStore : public TRegistryStore {
public:
    TWin32RegistryStore(HKEY ARoot, std::wstring APrefix)
        : FRoot(ARoot), FPrefix(std::move(APrefix)) {}

    std::filesystem::path DataFolder() const override {
        wchar_t LLocal[MAX_PATH] = {};
        if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, LLocal)) &&
            LLocal[0] != 0) {
            return std::filesystem::path(LLocal) / L"Orvane";
        }
        const wchar_t* LVariable = _wgetenv(L"LOCALAPPDATA");
        return LVariable && *LVariable ? std::filesystem::path(LVariable) / L"Orvane"
                                       : std::filesystem::path();
    }

    bool KeyExists(const std::string& AKey) override {
        TKeyHandle key;
        return Open(AKey, KEY_READ, key);
    }

    bool CanWriteKey(const std::string& AKey) override {
        TKeyHandle key;
        return Open(AKey, KEY_READ | KEY_WRITE, key);
    }

    bool CreateKey(const std::string& AKey) override {
        TKeyHandle key;
        return Check(RegCreateKeyExW(FRoot, Path(AKey).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_READ | KEY_WRITE, nullptr, key.Out(), nullptr));
    }

    std::vector<std::string> SubKeyNames(const std::string& AKey) override {
        TKeyHandle key;
        if (!Open(AKey, KEY_READ, key))
            return {};
        return Narrowed(EnumSubKeys(key.Get()));
    }

    std::vector<std::string> ValueNames(const std::string& AKey) override {
        TKeyHandle key;
        if (!Open(AKey, KEY_READ, key))
            return {};
        return Narrowed(EnumValues(key.Get()));
    }

    std::optional<TRegValue> GetValue(const std::string& AKey, const std::string& AName) override {
        TKeyHandle key;
        if (!Open(AKey, KEY_READ, key))
            return std::nullopt;
        const std::wstring name = Widen(AName);
        TRegValue value;
        DWORD type = REG_NONE;
        DWORD size = 0;
        LSTATUS rc = RegQueryValueExW(key.Get(), name.c_str(), nullptr, &type, nullptr, &size);
        while (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) {
            value.Data.resize(size);
            rc = RegQueryValueExW(key.Get(), name.c_str(), nullptr, &type,
                                  size != 0 ? value.Data.data() : nullptr, &size);
            if (rc == ERROR_SUCCESS) {
                value.Data.resize(size);
                value.Type = static_cast<TRegValueType>(type);
                value.Name = StoredValueName(key.Get(), name);
                return value;
            }
        }
        Check(rc);
        return std::nullopt;
    }

    // One enumeration that hands over names and data together: looking each
    // value up by name would list the key again per value (GetValue needs the
    // stored letter case), quadratic for a key with many values.
    std::vector<TRegValue> Values(const std::string& AKey) override {
        TKeyHandle key;
        if (!Open(AKey, KEY_QUERY_VALUE, key))
            throw ERegistryStoreError("Cannot read the key HKEY_CURRENT_USER\\" + AKey + ": " +
                                      FLastError);
        DWORD maxName = 0;
        DWORD maxData = 0;
        if (!Check(RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                    nullptr, &maxName, &maxData, nullptr, nullptr)))
            throw ERegistryStoreError("Cannot read the key HKEY_CURRENT_USER\\" + AKey + ": " +
                                      FLastError);
        std::vector<wchar_t> name(maxName + 1);
        std::vector<std::uint8_t> data(maxData);
        std::vector<TRegValue> values;
        for (DWORD index = 0;;) {
            DWORD nameLen = static_cast<DWORD>(name.size());
            DWORD dataLen = static_cast<DWORD>(data.size());
            DWORD type = REG_NONE;
            const LSTATUS rc = RegEnumValueW(key.Get(), index, name.data(), &nameLen, nullptr,
                                             &type, data.empty() ? nullptr : data.data(), &dataLen);
            if (rc == ERROR_NO_MORE_ITEMS)
                break;
            if (rc == ERROR_MORE_DATA) {
                // Grown since the key was measured: measure again, same index.
                name.resize(name.size() * 2);
                data.resize(std::max<std::size_t>(data.size() * 2, dataLen));
                continue;
            }
            if (!Check(rc))
                throw ERegistryStoreError("Cannot read the values of HKEY_CURRENT_USER\\" + AKey +
                                          ": " + FLastError);
            TRegValue value;
            if (!NarrowExact(std::wstring_view(name.data(), nameLen), value.Name))
                throw ERegistryStoreError("A value name in HKEY_CURRENT_USER\\" + AKey + " (\"" +
                                          Narrow(std::wstring_view(name.data(), nameLen)) +
                                          "\") is not valid UTF-16 and cannot be saved");
            value.Type = static_cast<TRegValueType>(type);
            value.Data.assign(data.begin(), data.begin() + dataLen);
            values.push_back(std::move(value));
            ++index;
        }
        return values;
    }

    bool SetValue(const std::string& AKey, const TRegValue& AValue) override {
        TKeyHandle key;
        if (!Open(AKey, KEY_SET_VALUE, key))
            return false;
        return Check(RegSetValueExW(key.Get(), Widen(AValue.Name).c_str(), 0, AValue.Type,
                                    AValue.Data.empty() ? nullptr : AValue.Data.data(),
                                    static_cast<DWORD>(AValue.Data.size())));
    }

    bool DeleteValue(const std::string& AKey, const std::string& AName) override {
        TKeyHandle key;
        if (!Open(AKey, KEY_SET_VALUE, key))
            return false;
        return Check(RegDeleteValueW(key.Get(), Widen(AName).c_str()));
    }

    bool DeleteKey(const std::string& AKey) override {
        if (AKey.empty()) {
            FLastError = "The root key cannot be deleted";
            return false;
        }
        return Check(DeleteKeyTree(FRoot, Path(AKey)));
    }

    bool SaveKey(const std::string& AKey, const std::filesystem::path& AFile) override {
        // Windows refuses to save onto an existing file (ERROR_ALREADY_EXISTS);
        // Wine overwrites it. Checked here so both keep the file.
        if (GetFileAttributesW(AFile.wstring().c_str()) != INVALID_FILE_ATTRIBUTES)
            return Check(ERROR_ALREADY_EXISTS);
        TKeyHandle key;
        if (!Open(AKey, KEY_READ, key))
            return false;
        return Check(RegSaveKeyW(key.Get(), AFile.wstring().c_str(), nullptr));
    }

    std::string LastErrorText() const override { return FLastError; }

private:
    std::wstring Path(const std::string& AKey) const {
        if (FPrefix.empty())
            return Widen(AKey);
        if (AKey.empty())
            return FPrefix;
        return FPrefix + L"\\" + Widen(AKey);
    }

    bool Open(const std::string& AKey, REGSAM AAccess, TKeyHandle& AKeyHandle) {
        return Check(RegOpenKeyExW(FRoot, Path(AKey).c_str(), 0, AAccess, AKeyHandle.Out()));
    }

    bool Check(LSTATUS ACode) {
        if (ACode == ERROR_SUCCESS)
            return true;
        FLastError = SystemErrorText(static_cast<DWORD>(ACode));
        return false;
    }

    // The name as it was created: RegQueryValueExW finds it in any letter case
    // but does not say how it is written.
    static std::string StoredValueName(HKEY AKey, const std::wstring& AName) {
        for (const auto& name : EnumValues(AKey)) {
            if (SameName(name, AName))
                return Narrow(name);
        }
        return Narrow(AName);
    }

    static std::vector<std::string> Narrowed(const std::vector<std::wstring>& ANames) {
        std::vector<std::string> result;
        result.reserve(ANames.size());
        for (const auto& name : ANames)
            result.push_back(Narrow(name));
        return result;
    }

    HKEY FRoot;
    std::wstring FPrefix;
    std::string FLastError;
};

} // namespace

std::shared_ptr<TRegistryStore> OpenWin32RegistryStore(HKEY ARoot, const std::string& ARootPrefix) {
    auto store = std::make_shared<TWin32RegistryStore>(ARoot, Widen(ARootPrefix));
    if (!ARootPrefix.empty() && !store->CreateKey({}))
        throw ERegistryStoreError("Failed to open the registry below " + ARootPrefix + ": " +
                                  store->LastErrorText());
    return store;
}

std::shared_ptr<TRegistryStore> OpenDefaultRegistryStore() {
    return OpenWin32RegistryStore(HKEY_CURRENT_USER);
}

// The registry itself keeps the data; there is no store file.
std::filesystem::path DefaultRegistryStorePath() {
    return {};
}

} // namespace orvane
