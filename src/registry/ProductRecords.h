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

// The record's "ORVANE_BUNDLE": the bundle an installation came from (its
// location, edition and date), beside the record's own values. Written empty,
// the value goes: the installation came from the API server.
inline constexpr const char* KRecordBundleValue = "ORVANE_BUNDLE";
void WriteRecordBundle(TRegistryStore& AStore, const std::string& AIDEVersion,
                       const std::string& ABundle);
// Empty when the record has no such value.
std::string ReadRecordBundle(TRegistryStore& AStore, const std::string& AIDEVersion);

} // namespace orvane
