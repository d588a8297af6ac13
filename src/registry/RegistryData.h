#pragma once

#include <ctime>
#include <string>

namespace orvane {

// The installation record of one IDE version, kept under
// "SOFTWARE\Embarcadero\Orvane\<IDEVersion>\".
struct TOrvaneRegistryData {
    std::string IDEVersion;
    std::string Version;
    std::string DateTime;
    std::string License;
    std::string PackageType;
    std::string Path;
    // Not stored: set by ReadInstalledVersions when a value of the record could
    // not be read (another tool left it with the wrong type), naming the fault.
    // The fields of such values stay empty. Empty for a clean record.
    std::string ReadError = {};

    // Copies the arguments and stamps DateTime with the local time now
    // ("yyyy-mm-dd hh:nn:ss").
    static TOrvaneRegistryData Create(const std::string& AIDEVersion, const std::string& AVersion,
                                      const std::string& ALicense, const std::string& APackageType,
                                      const std::string& APath);
};

// The local time now, broken down.
std::tm LocalTimeNow();

} // namespace orvane
