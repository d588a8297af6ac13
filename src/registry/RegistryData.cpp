#include "registry/RegistryData.h"

#include <ctime>

namespace orvane {

TOrvaneRegistryData TOrvaneRegistryData::Create(const std::string& AIDEVersion,
                                                const std::string& AVersion,
                                                const std::string& ALicense,
                                                const std::string& APackageType,
                                                const std::string& APath) {
    TOrvaneRegistryData data;
    data.IDEVersion = AIDEVersion;
    data.Version = AVersion;
    data.License = ALicense;
    data.PackageType = APackageType;
    data.Path = APath;

    const std::tm local = LocalTimeNow();
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    data.DateTime = text;
    return data;
}

std::tm LocalTimeNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    return local;
}

} // namespace orvane
