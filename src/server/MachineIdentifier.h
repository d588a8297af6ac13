#pragma once

#include "platform/NetworkAdapters.h"

#include <stdexcept>
#include <string>

namespace orvane {

class TMachineIdentifierError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The identifier from an adapter list, or TMachineIdentifierError with the
// message for its failure kind.
std::string MACAddressFromList(const TAdapterList& AList);

// The hardware address that identifies this computer to the API server, as
// "0A-1B-2C-3D-4E-5F"; empty when no adapter has one.
std::string GetMACAddress();

// What the configuration request sends: the MD5 text of GetMACAddress, or
// empty when there is no identifier or it cannot be found.
std::string MachineDigest();

} // namespace orvane
