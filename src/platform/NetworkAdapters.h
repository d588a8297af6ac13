#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace orvane {

// Interface types as Windows numbers them.
enum TAdapterType : std::uint32_t {
    atOther = 1,
    atEthernet = 6,   // MIB_IF_TYPE_ETHERNET
    atIeee80211 = 71, // IF_TYPE_IEEE80211 (wireless)
};

struct TNetworkAdapter {
    std::uint32_t Type = atOther;
    std::vector<std::uint8_t> Address; // hardware address, at most 8 bytes
};

enum TAdapterListStatus {
    alOk,
    alNotSupported, // the system cannot list adapters
    alNoAdapter,    // there is none
    alError,        // anything else; ErrorText holds the system's text
};

struct TAdapterList {
    TAdapterListStatus Status = alOk;
    std::vector<TNetworkAdapter> Adapters; // in the system's stable order, loopback left out
    std::string ErrorText;
};

// Windows: GetAdaptersInfo with its buffer growth; elsewhere the system's own
// adapter enumeration.
TAdapterList ListNetworkAdapters();

#ifndef _WIN32
// The portable enumeration over a folder laid out like /sys/class/net (one
// folder per interface with "type", "address", "ifindex"; "wireless" or
// "phy80211" marking IEEE 802.11). Ordered by interface index.
TAdapterList ListNetworkAdaptersFrom(const std::filesystem::path& AClassNetDir);
#endif

} // namespace orvane
