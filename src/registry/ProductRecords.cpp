#include "registry/ProductRecords.h"

#include "registry/IDEKeys.h"
#include "registry/Registry.h"

namespace orvane {

namespace {

const std::string kProductKey = "SOFTWARE\\Embarcadero\\Orvane\\";

// Reads the four plain values and the optional path of the open record key.
// With AError, a value of the wrong type leaves its field empty and the first
// such fault is kept there; without, it throws as every registry read does.
void ReadRecordValues(TRegistry& AReg, TOrvaneRegistryData& AData, std::string* AError = nullptr) {
    const auto read = [&](const char* AName, std::string& AField) {
        if (!AError) {
            AField = AReg.ReadString(AName);
            return;
        }
        try {
            AField = AReg.ReadString(AName);
        } catch (const ERegistryException& e) {
            if (AError->empty()) {
                *AError = e.what();
            }
        }
    };
    read("ORVANE_INSTALLED_VERSION", AData.Version);
    read("ORVANE_DATETIME", AData.DateTime);
    read("ORVANE_LICENSE", AData.License);
    read("ORVANE_PACKAGETYPE", AData.PackageType);
    if (AReg.ValueExists("ORVANE_INSTALLED_PATH")) {
        read("ORVANE_INSTALLED_PATH", AData.Path);
    }
}

} // namespace

std::string RecordKey(const std::string& AIDEVersion) {
    return kProductKey + RequireIDEVersion(AIDEVersion) + "\\";
}

void WriteRegistryData(TRegistryStore& AStore, const TOrvaneRegistryData& AData) {
    TRegistry reg(AStore, raReadWrite);
    const std::string key = RecordKey(AData.IDEVersion);
    if (!reg.KeyExists(key)) {
        reg.CreateKey(key);
    }
    OpenForWriting(reg, key);
    reg.WriteString("ORVANE_INSTALLED_VERSION", AData.Version);
    reg.WriteString("ORVANE_INSTALLED_PATH", AData.Path);
    reg.WriteString("ORVANE_DATETIME", AData.DateTime);
    reg.WriteString("ORVANE_LICENSE", AData.License);
    reg.WriteString("ORVANE_PACKAGETYPE", AData.PackageType);
    reg.CloseKey();
}

void WriteRecordBundle(TRegistryStore& AStore, const std::string& AIDEVersion,
                       const std::string& ABundle) {
    TRegistry reg(AStore, raReadWrite);
    const std::string key = RecordKey(AIDEVersion);
    if (!reg.KeyExists(key) || !reg.OpenKey(key, false)) {
        return;
    }
    if (!ABundle.empty()) {
        reg.WriteString(KRecordBundleValue, ABundle);
    } else if (reg.ValueExists(KRecordBundleValue)) {
        reg.DeleteValue(KRecordBundleValue);
    }
    reg.CloseKey();
}

std::string ReadRecordBundle(TRegistryStore& AStore, const std::string& AIDEVersion) {
    TRegistry reg(AStore, raRead);
    const std::string key = RecordKey(AIDEVersion);
    std::string Result;
    if (reg.KeyExists(key) && reg.OpenKey(key, false)) {
        if (reg.ValueExists(KRecordBundleValue)) {
            Result = reg.ReadString(KRecordBundleValue);
        }
        reg.CloseKey();
    }
    return Result;
}

bool ReadRegistryData(TRegistryStore& AStore, const std::string& AIDEVersion,
                      TOrvaneRegistryData& AData) {
    AData = TOrvaneRegistryData{};
    if (AIDEVersion.empty()) {
        return false;
    }
    TRegistry reg(AStore, raRead);
    const std::string key = RecordKey(AIDEVersion);
    if (!reg.KeyExists(key) || !reg.OpenKey(key, false)) {
        return false;
    }
    AData.IDEVersion = AIDEVersion;
    ReadRecordValues(reg, AData);
    reg.CloseKey();
    return true;
}

void DeleteRegistryData(TRegistryStore& AStore, const std::string& AIDEVersion) {
    TRegistry reg(AStore, raReadWrite);
    const std::string key = RecordKey(AIDEVersion);
    if (reg.KeyExists(key)) {
        reg.DeleteKey(key);
    }
}

std::vector<TOrvaneRegistryData> ReadInstalledVersions(TRegistryStore& AStore) {
    std::vector<TOrvaneRegistryData> result;
    TRegistry reg(AStore, raRead);
    if (!reg.KeyExists(kProductKey) || !reg.OpenKey(kProductKey, false)) {
        return result;
    }
    const auto names = reg.GetKeyNames();
    reg.CloseKey();
    for (const auto& name : names) {
        if (name.empty() || !reg.OpenKey(RecordKey(name), false)) {
            continue;
        }
        TOrvaneRegistryData data;
        data.IDEVersion = name;
        // One bad record must not hide the others, nor itself: it is listed
        // with its fault, so it can still be uninstalled.
        ReadRecordValues(reg, data, &data.ReadError);
        reg.CloseKey();
        result.push_back(std::move(data));
    }
    return result;
}

} // namespace orvane
