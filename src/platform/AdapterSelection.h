#pragma once

#include "platform/NetworkAdapters.h"

#include <cstdint>
#include <string>
#include <vector>

namespace orvane {

// "0A-1B-..." : each byte as two upper-case hexadecimal digits, joined by "-".
std::string FormatHardwareAddress(const std::vector<std::uint8_t>& AAddress);

// The machine identifier from an adapter list in the system's order: the first
// wireless adapter, else the last Ethernet one, else the last other adapter with
// an address, else empty. Adapters without an address never count.
std::string SelectMACAddress(const std::vector<TNetworkAdapter>& AAdapters);

} // namespace orvane
