#pragma once

#include "registry/RegistryData.h"

#include <string>
#include <vector>

namespace orvane {

class TRegistryStore;

// "SOFTWARE\Embarcadero\Orvane\<IDE version>\": the record's key.
std::string RecordKey(const std::string& AIDEVersion);

// Records under "SOFTWARE\Embarcadero\Orvane\<IDE version>\". Registry errors
// ("Invalid data type for '%s'", ...) are thrown as std::runtime_error, except
// that ReadInstalledVersions lists a record with a value of the wrong type with
// that fault in its ReadError; store failures always pass.
void WriteRegistryData(TRegistryStore& AStore, const TOrvaneRegistryData& AData);
bool ReadRegistryData(TRegistryStore& AStore, const std::string& AIDEVersion,
                      TOrvaneRegistryData& AData);
void DeleteRegistryData(TRegistryStore& AStore, const std::string& AIDEVersion);
std::vector<TOrvaneRegistryData> ReadInstalledVersions(TRegistryStore& AStore);

} // namespace orvane
