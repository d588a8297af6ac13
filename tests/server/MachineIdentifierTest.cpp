#include "server/MachineIdentifier.h"

#include <gtest/gtest.h>

using namespace orvane;

namespace {

TEST(MACAddressFromList, FailureMessages) {
    struct TCase {
        TAdapterList List;
        std::string Message;
    };
    const TCase KCases[] = {
        {{alNotSupported, {}, ""},
         "GetAdaptersInfo is not supported by the operating system running on the local "
         "computer."},
        {{alNoAdapter, {}, ""}, "No network adapter on the local computer."},
        {{alOk, {}, ""}, "No network adapter on the local computer."},
        {{alError, {}, "Access is denied."}, "Access is denied."},
    };
    for (const auto& C : KCases) {
        try {
            MACAddressFromList(C.List);
            ADD_FAILURE() << "no failure for " << C.Message;
        } catch (const TMachineIdentifierError& E) {
            EXPECT_EQ(E.what(), C.Message);
        }
    }
    EXPECT_EQ(MACAddressFromList(
                  {alOk, {TNetworkAdapter{atEthernet, {0x0A, 0x11, 0x22, 0x33, 0x44, 0x55}}}, ""}),
              "0A-11-22-33-44-55");
}

} // namespace
