#include "platform/AdapterSelection.h"

namespace orvane {

std::string FormatHardwareAddress(const std::vector<std::uint8_t>& AAddress) {
    static const char KHex[] = "0123456789ABCDEF";
    std::string Result;
    for (std::size_t I = 0; I < AAddress.size(); ++I) {
        if (I > 0) {
            Result += '-';
        }
        Result += KHex[AAddress[I] >> 4];
        Result += KHex[AAddress[I] & 0x0F];
    }
    return Result;
}

std::string SelectMACAddress(const std::vector<TNetworkAdapter>& AAdapters) {
    std::string Result;
    std::string LFallback;
    for (const TNetworkAdapter& LAdapter : AAdapters) {
        if (LAdapter.Address.empty()) {
            continue;
        }
        const std::string LText = FormatHardwareAddress(LAdapter.Address);
        if (LAdapter.Type == atEthernet) {
            Result = LText;
        } else if (LAdapter.Type == atIeee80211) {
            return LText;
        } else {
            LFallback = LText;
        }
    }
    return Result.empty() ? LFallback : Result;
}

} // namespace orvane
