#include "platform/AdapterSelection.h"
#include "platform/NetworkAdapters.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace orvane;

namespace {

TNetworkAdapter Adapter(std::uint32_t AType, std::vector<std::uint8_t> AAddress) {
    return TNetworkAdapter{AType, std::move(AAddress)};
}

const std::vector<std::uint8_t> KEth1 = {0x0A, 0x11, 0x22, 0x33, 0x44, 0x55};
const std::vector<std::uint8_t> KEth2 = {0x0B, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE};
const std::vector<std::uint8_t> KWifi1 = {0x1C, 0x01, 0x02, 0x03, 0x04, 0x05};
const std::vector<std::uint8_t> KWifi2 = {0x1D, 0x01, 0x02, 0x03, 0x04, 0x05};
const std::vector<std::uint8_t> KTun = {0x00, 0x00, 0x5E, 0x00, 0x53, 0xFF, 0x01, 0x02};

TEST(SelectMACAddress, SelectionTable) {
    struct TCase {
        const char* Name;
        std::vector<TNetworkAdapter> Adapters;
        std::string Expected;
    };
    const TCase KCases[] = {
        {"ethernet then wireless",
         {Adapter(atEthernet, KEth1), Adapter(atIeee80211, KWifi1)},
         "1C-01-02-03-04-05"},
        {"wireless then ethernet",
         {Adapter(atIeee80211, KWifi1), Adapter(atEthernet, KEth1)},
         "1C-01-02-03-04-05"},
        {"first wireless wins",
         {Adapter(atIeee80211, KWifi1), Adapter(atIeee80211, KWifi2)},
         "1C-01-02-03-04-05"},
        {"last of two ethernet",
         {Adapter(atEthernet, KEth1), Adapter(atEthernet, KEth2)},
         "0B-AA-BB-CC-DD-EE"},
        {"ethernet beats other",
         {Adapter(atEthernet, KEth1), Adapter(atOther, KTun)},
         "0A-11-22-33-44-55"},
        {"other only, 8 bytes", {Adapter(atOther, KTun)}, "00-00-5E-00-53-FF-01-02"},
        {"unknown type number counts as other", {Adapter(24, KEth2)}, "0B-AA-BB-CC-DD-EE"},
        {"empty address never chosen",
         {Adapter(atIeee80211, {}), Adapter(atEthernet, KEth1), Adapter(atEthernet, {})},
         "0A-11-22-33-44-55"},
        {"nothing with an address", {Adapter(atEthernet, {}), Adapter(atOther, {})}, ""},
        {"no adapters", {}, ""},
    };
    for (const auto& C : KCases) {
        EXPECT_EQ(SelectMACAddress(C.Adapters), C.Expected) << C.Name;
    }
}

#ifndef _WIN32
class TFakeSysNet : public ::testing::Test {
protected:
    void SetUp() override {
        FRoot =
            std::filesystem::temp_directory_path() /
            ("orvane-sysnet-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(FRoot);
        std::filesystem::create_directories(FRoot);
    }
    void TearDown() override { std::filesystem::remove_all(FRoot); }

    void Interface(const std::string& AName, int AType, int AIndex, const std::string& AAddress,
                   const char* AWirelessMarker = nullptr) {
        const auto LDir = FRoot / AName;
        std::filesystem::create_directories(LDir);
        std::ofstream(LDir / "type") << AType << "\n";
        std::ofstream(LDir / "ifindex") << AIndex << "\n";
        std::ofstream(LDir / "address") << AAddress << "\n";
        if (AWirelessMarker) {
            std::filesystem::create_directories(LDir / AWirelessMarker);
        }
    }

    std::filesystem::path FRoot;
};

TEST_F(TFakeSysNet, KindsOrderAndLoopback) {
    Interface("lo", 772, 1, "00:00:00:00:00:00");
    Interface("wlp2s0", 1, 4, "1c:01:02:03:04:05", "wireless");
    Interface("enp3s0", 1, 2, "0a:11:22:33:44:55");
    Interface("wlan1", 1, 5, "1d:01:02:03:04:05", "phy80211");
    Interface("tun0", 65534, 3, "");
    std::ofstream(FRoot / "bonding_masters") << "\n"; // a plain file, not an interface

    const TAdapterList LList = ListNetworkAdaptersFrom(FRoot);
    ASSERT_EQ(LList.Status, alOk);
    ASSERT_EQ(LList.Adapters.size(), 4u);
    EXPECT_EQ(LList.Adapters[0].Type, atEthernet);
    EXPECT_EQ(LList.Adapters[0].Address, KEth1);
    EXPECT_EQ(LList.Adapters[1].Type, atOther);
    EXPECT_TRUE(LList.Adapters[1].Address.empty());
    EXPECT_EQ(LList.Adapters[2].Type, atIeee80211);
    EXPECT_EQ(LList.Adapters[3].Type, atIeee80211);
    EXPECT_EQ(SelectMACAddress(LList.Adapters), "1C-01-02-03-04-05");
}

TEST_F(TFakeSysNet, FailureKinds) {
    EXPECT_EQ(ListNetworkAdaptersFrom(FRoot / "missing").Status, alNotSupported);
    EXPECT_EQ(ListNetworkAdaptersFrom(FRoot).Status, alNoAdapter);
    Interface("lo", 772, 1, "00:00:00:00:00:00");
    EXPECT_EQ(ListNetworkAdaptersFrom(FRoot).Status, alNoAdapter);
}

#endif

} // namespace
