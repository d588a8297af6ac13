#include "server/MachineIdentifier.h"

#include "platform/AdapterSelection.h"
#include "server/Protocol.h"

namespace orvane {

std::string MACAddressFromList(const TAdapterList& AList) {
    switch (AList.Status) {
    case alOk:
        if (AList.Adapters.empty()) {
            throw TMachineIdentifierError("No network adapter on the local computer.");
        }
        return SelectMACAddress(AList.Adapters);
    case alNotSupported:
        throw TMachineIdentifierError("GetAdaptersInfo is not supported by the operating "
                                      "system running on the local computer.");
    case alNoAdapter:
        throw TMachineIdentifierError("No network adapter on the local computer.");
    case alError:
        break;
    }
    throw TMachineIdentifierError(AList.ErrorText);
}

std::string GetMACAddress() {
    return MACAddressFromList(ListNetworkAdapters());
}

std::string MachineDigest() {
    std::string LMachine;
    try {
        LMachine = GetMACAddress();
    } catch (...) {
        LMachine.clear();
    }
    return LMachine.empty() ? LMachine : MD5Text(LMachine);
}

} // namespace orvane
