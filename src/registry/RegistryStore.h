#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvane {

// Registry value types, numbered as Windows numbers them.
enum TRegValueType : std::uint32_t {
    rtNone = 0,
    rtSz = 1,
    rtExpandSz = 2,
    rtBinary = 3,
    rtDword = 4,
    rtMultiSz = 7,
    rtQword = 11,
};

// A value as the registry keeps it: the type and the raw data bytes, laid out
// as Windows lays them out (strings are UTF-16LE with their terminating NUL,
// DWORDs little-endian).
struct TRegValue {
    std::string Name;
    TRegValueType Type = rtNone;
    std::vector<std::uint8_t> Data;
};

// A store failure that is not one of the accessor's own texts (a corrupt store
// file, an I/O error). The message names the store.
class ERegistryStoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The part of the registry the installer uses (the current user's hive),
// below an abstract store: advapi32 on Windows, one SQLite file elsewhere.
// Key paths are relative to the hive root, use "\" and carry no leading or
// trailing "\" (the empty path is the root itself); key and value names are
// compared without regard to case and keep the case they were created with.
class TRegistryStore {
public:
    virtual ~TRegistryStore() = default;

    virtual bool KeyExists(const std::string& AKey) = 0;
    // True when the key exists and may be changed: its values set and deleted
    // (Windows: it opens with KEY_READ | KEY_WRITE).
    virtual bool CanWriteKey(const std::string& AKey) = 0;
    // Creates the key and its missing parents; false when that fails.
    virtual bool CreateKey(const std::string& AKey) = 0;
    // Sub-key names in enumeration order (case-insensitive name order).
    virtual std::vector<std::string> SubKeyNames(const std::string& AKey) = 0;
    // Value names in enumeration order (creation order).
    virtual std::vector<std::string> ValueNames(const std::string& AKey) = 0;
    virtual std::optional<TRegValue> GetValue(const std::string& AKey,
                                              const std::string& AName) = 0;
    // Every value of the key with its data, in enumeration order: what a backup
    // or export reads. Throws ERegistryStoreError when the key cannot be opened
    // or a listed value cannot be read as listed (Windows: a name that is not
    // valid UTF-16), so nothing is left out silently.
    virtual std::vector<TRegValue> Values(const std::string& AKey) {
        if (!KeyExists(AKey)) {
            throw ERegistryStoreError("Cannot read the key HKEY_CURRENT_USER\\" + AKey +
                                      LastErrorReason());
        }
        std::vector<TRegValue> LValues;
        for (const std::string& LName : ValueNames(AKey)) {
            auto LValue = GetValue(AKey, LName);
            if (!LValue) {
                throw ERegistryStoreError("Cannot read the value \"" + LName +
                                          "\" of HKEY_CURRENT_USER\\" + AKey + LastErrorReason());
            }
            LValues.push_back(std::move(*LValue));
        }
        return LValues;
    }
    // Creates or replaces the value; false when the key is missing or the write fails.
    virtual bool SetValue(const std::string& AKey, const TRegValue& AValue) = 0;
    virtual bool DeleteValue(const std::string& AKey, const std::string& AName) = 0;
    // Deletes the key with everything below it.
    virtual bool DeleteKey(const std::string& AKey) = 0;
    // Saves the key with everything below it into a new file (fails when the
    // file exists). Windows: a hive file; elsewhere a regedit .reg file.
    virtual bool SaveKey(const std::string& AKey, const std::filesystem::path& AFile) = 0;
    // Why the last failed operation failed (Windows: the system's message), if known.
    virtual std::string LastErrorText() const { return {}; }
    // The folder for the installer's own files that belong with this store
    // (journals of unfinished installations, manifests): the store file's
    // folder here, %LOCALAPPDATA%\Orvane on Windows. Empty when there is none.
    virtual std::filesystem::path DataFolder() const { return {}; }

protected:
    // ": <LastErrorText>", or nothing when there is none.
    std::string LastErrorReason() const {
        const std::string LText = LastErrorText();
        return LText.empty() ? std::string() : ": " + LText;
    }
};

// The current user's store: HKEY_CURRENT_USER on Windows; elsewhere the SQLite
// file "orvane/registry.sqlite" below $XDG_DATA_HOME (default ~/.local/share).
std::shared_ptr<TRegistryStore> OpenDefaultRegistryStore();
std::filesystem::path DefaultRegistryStorePath();

#ifndef _WIN32
std::shared_ptr<TRegistryStore> OpenSqliteRegistryStore(const std::filesystem::path& AFile);
#endif

} // namespace orvane
