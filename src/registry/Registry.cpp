#include "registry/Registry.h"

#include "platform/SystemFolders.h"
#include "registry/RegText.h"

#include <system_error>

namespace orvane {

namespace {

std::string StripSeparators(const std::string& AKey) {
    std::size_t first = 0;
    std::size_t last = AKey.size();
    while (first < last && AKey[first] == '\\') {
        ++first;
    }
    while (last > first && AKey[last - 1] == '\\') {
        --last;
    }
    return AKey.substr(first, last - first);
}

} // namespace

TRegistry::TRegistry(TRegistryStore& AStore, TRegAccess AAccess)
    : FStore(AStore), FAccess(AAccess) {}

std::string TRegistry::Resolve(const std::string& AKey) const {
    const std::string relative = StripSeparators(AKey);
    const bool fromRoot = !AKey.empty() && AKey.front() == '\\';
    if (!FOpen || fromRoot || FCurrentPath.empty()) {
        return relative;
    }
    if (relative.empty()) {
        return FCurrentPath;
    }
    return FCurrentPath + "\\" + relative;
}

bool TRegistry::KeyExists(const std::string& AKey) {
    return FStore.KeyExists(Resolve(AKey));
}

void TRegistry::CreateKey(const std::string& AKey) {
    if (!CanWrite() || !FStore.CreateKey(Resolve(AKey))) {
        throw ERegistryException("Failed to create key " + AKey);
    }
}

bool TRegistry::OpenKey(const std::string& AKey, bool ACanCreate) {
    const std::string path = Resolve(AKey);
    bool ok = false;
    if (!CanWrite()) {
        ok = FStore.KeyExists(path);
    } else if (FStore.KeyExists(path)) {
        // Opened with the access the accessor asks for: a key that may be read
        // but not changed does not open, so callers skip it instead of failing
        // on the first write.
        ok = FStore.CanWriteKey(path);
    } else if (ACanCreate) {
        ok = FStore.CreateKey(path);
    }
    if (ok) {
        FOpen = true;
        FCurrentPath = path;
    }
    return ok;
}

void TRegistry::CloseKey() {
    FOpen = false;
    FCurrentPath.clear();
}

std::string TRegistry::ReadString(const std::string& AName) {
    const auto value = FStore.GetValue(FCurrentPath, AName);
    if (!value || value->Data.size() < 2) {
        return {};
    }
    if (value->Type != rtSz && value->Type != rtExpandSz) {
        throw ERegistryException("Invalid data type for '" + AName + "'");
    }
    return FromUtf16Le(value->Data, true);
}

std::string TRegistry::ReadExpandedString(const std::string& AName) {
    const std::string LText = ReadString(AName);
    const auto LValue = FStore.GetValue(FCurrentPath, AName);
    return LValue && LValue->Type == rtExpandSz ? ExpandEnvironmentText(LText) : LText;
}

void TRegistry::WriteString(const std::string& AName, const std::string& AValue) {
    TRegValue value;
    value.Name = AName;
    value.Type = rtSz;
    value.Data = ToUtf16Le(AValue, true);
    if (!CanWrite() || !FStore.SetValue(FCurrentPath, value)) {
        throw ERegistryException("Failed to set data for '" + AName + "'");
    }
}

bool TRegistry::ValueExists(const std::string& AName) {
    return FStore.GetValue(FCurrentPath, AName).has_value();
}

std::vector<std::string> TRegistry::GetKeyNames() {
    return FStore.SubKeyNames(FCurrentPath);
}

std::vector<std::string> TRegistry::GetValueNames() {
    return FStore.ValueNames(FCurrentPath);
}

bool TRegistry::DeleteValue(const std::string& AName) {
    return CanWrite() && FStore.DeleteValue(FCurrentPath, AName);
}

bool TRegistry::DeleteKey(const std::string& AKey) {
    const std::string path = Resolve(AKey);
    if (!CanWrite() || path.empty()) {
        return false;
    }
    return FStore.DeleteKey(path);
}

bool TRegistry::SaveKey(const std::string& AKey, const std::filesystem::path& AFile) {
    FLastError.clear();
    try {
        const std::string path = Resolve(AKey);
        std::error_code ec;
        if (std::filesystem::exists(AFile, ec)) {
            FLastError = "the file already exists";
            return false;
        }
        const auto folder = AFile.parent_path();
        if (!folder.empty() && !std::filesystem::is_directory(folder, ec)) {
            FLastError = "the folder does not exist";
            return false;
        }
        if (!FStore.KeyExists(path)) {
            FLastError = "the key does not exist";
            return false;
        }
        if (FStore.SaveKey(path, AFile)) {
            return true;
        }
        FLastError = FStore.LastErrorText();
        if (FLastError.empty()) {
            FLastError = "the key could not be saved";
        }
    } catch (const std::exception& e) {
        FLastError = e.what();
    }
    return false;
}

void OpenForWriting(TRegistry& AReg, const std::string& AKey) {
    if (!AReg.OpenKey(AKey, true)) {
        throw ERegistryException("Failed to open key " + AKey + " for writing");
    }
}

} // namespace orvane
