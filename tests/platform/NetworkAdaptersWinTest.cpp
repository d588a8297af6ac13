#include "platform/AdaptersInfo_win.h"
#include "platform/Win32Text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using orvane::TNetworkAdapter;

// Answers like GetAdaptersInfo: ERROR_BUFFER_OVERFLOW with the needed size
// while the buffer is too small, else the chain of records in the buffer.
class TFakeAdaptersInfo {
public:
    std::vector<TNetworkAdapter> FAdapters;
    ULONG FError = NO_ERROR; // answered instead of the chain when not NO_ERROR
    bool FZeroSize = false;  // NO_ERROR with size 0
    std::vector<ULONG> FSizesSeen;

    ULONG operator()(PIP_ADAPTER_INFO AInfo, PULONG ASize) {
        FSizesSeen.push_back(*ASize);
        if (FError != NO_ERROR)
            return FError;
        if (FZeroSize) {
            *ASize = 0;
            return NO_ERROR;
        }
        const ULONG needed = static_cast<ULONG>(FAdapters.size() * sizeof(IP_ADAPTER_INFO));
        if (*ASize < needed) {
            *ASize = needed;
            return ERROR_BUFFER_OVERFLOW;
        }
        std::memset(AInfo, 0, needed);
        for (std::size_t i = 0; i < FAdapters.size(); ++i) {
            IP_ADAPTER_INFO& rec = AInfo[i];
            rec.Next = i + 1 < FAdapters.size() ? &AInfo[i + 1] : nullptr;
            rec.Index = static_cast<DWORD>(i + 1);
            rec.Type = FAdapters[i].Type;
            rec.AddressLength = static_cast<UINT>(FAdapters[i].Address.size());
            std::memcpy(rec.Address, FAdapters[i].Address.data(), FAdapters[i].Address.size());
        }
        return NO_ERROR;
    }
};

TNetworkAdapter Adapter(std::uint32_t AType, std::uint8_t ALast, std::size_t ALength = 6) {
    TNetworkAdapter a;
    a.Type = AType;
    for (std::size_t i = 0; i < ALength; ++i)
        a.Address.push_back(i + 1 == ALength ? ALast : static_cast<std::uint8_t>(0x0A + i));
    return a;
}

void ExpectSameAdapters(const std::vector<TNetworkAdapter>& AActual,
                        const std::vector<TNetworkAdapter>& AExpected) {
    ASSERT_EQ(AActual.size(), AExpected.size());
    for (std::size_t i = 0; i < AActual.size(); ++i) {
        EXPECT_EQ(AActual[i].Type, AExpected[i].Type) << "adapter " << i;
        EXPECT_EQ(AActual[i].Address, AExpected[i].Address) << "adapter " << i;
    }
}

TEST(AdaptersInfoWin, ReadsTheChainInTheSystemsOrder) {
    TFakeAdaptersInfo fake;
    fake.FAdapters = {Adapter(orvane::atEthernet, 1), Adapter(orvane::atIeee80211, 2),
                      Adapter(IF_TYPE_TUNNEL, 3, 8), Adapter(orvane::atEthernet, 0, 0)};
    const auto list = orvane::ListAdaptersInfo(std::ref(fake));
    EXPECT_EQ(list.Status, orvane::alOk);
    ExpectSameAdapters(list.Adapters, fake.FAdapters);
    EXPECT_EQ(fake.FSizesSeen, std::vector<ULONG>{orvane::AdaptersInfoFirstBufferSize});
}

TEST(AdaptersInfoWin, GrowsATooSmallFirstBuffer) {
    TFakeAdaptersInfo fake;
    for (std::uint8_t i = 0; i < 40; ++i)
        fake.FAdapters.push_back(Adapter(i % 2 ? orvane::atEthernet : orvane::atIeee80211, i));
    const ULONG needed = static_cast<ULONG>(fake.FAdapters.size() * sizeof(IP_ADAPTER_INFO));
    ASSERT_GT(needed, orvane::AdaptersInfoFirstBufferSize);

    const auto list = orvane::ListAdaptersInfo(std::ref(fake));
    EXPECT_EQ(list.Status, orvane::alOk);
    ExpectSameAdapters(list.Adapters, fake.FAdapters);
    EXPECT_EQ(fake.FSizesSeen, (std::vector<ULONG>{orvane::AdaptersInfoFirstBufferSize, needed}));
}

TEST(AdaptersInfoWin, LoopbackIsLeftOut) {
    TFakeAdaptersInfo fake;
    fake.FAdapters = {Adapter(MIB_IF_TYPE_LOOPBACK, 9), Adapter(orvane::atEthernet, 1)};
    const auto list = orvane::ListAdaptersInfo(std::ref(fake));
    ExpectSameAdapters(list.Adapters, {fake.FAdapters[1]});
}

TEST(AdaptersInfoWin, ErrorCodes) {
    struct TCase {
        ULONG Error;
        bool ZeroSize;
        orvane::TAdapterListStatus Status;
    };
    const TCase cases[] = {
        {ERROR_NOT_SUPPORTED, false, orvane::alNotSupported},
        {ERROR_NO_DATA, false, orvane::alNoAdapter},
        {NO_ERROR, true, orvane::alNoAdapter},
        {ERROR_INVALID_PARAMETER, false, orvane::alError},
        {ERROR_NOT_ENOUGH_MEMORY, false, orvane::alError},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Error);
        TFakeAdaptersInfo fake;
        fake.FAdapters = {Adapter(orvane::atEthernet, 1)};
        fake.FError = c.Error;
        fake.FZeroSize = c.ZeroSize;
        const auto list = orvane::ListAdaptersInfo(std::ref(fake));
        EXPECT_EQ(list.Status, c.Status);
        EXPECT_TRUE(list.Adapters.empty());
        if (c.Status == orvane::alError)
            EXPECT_EQ(list.ErrorText, orvane::SystemErrorText(c.Error));
        else
            EXPECT_EQ(list.ErrorText, "");
        EXPECT_EQ(fake.FSizesSeen.size(), 1u);
    }
}

// The host's adapters under Wine are whatever the machine has; the real path
// must agree with one direct call that has room for everything.
TEST(AdaptersInfoWin, RealListMatchesADirectCall) {
    std::vector<std::uint64_t> buffer(1 << 17);
    ULONG size = static_cast<ULONG>(buffer.size() * sizeof(std::uint64_t));
    auto* first = reinterpret_cast<PIP_ADAPTER_INFO>(buffer.data());
    const ULONG code = GetAdaptersInfo(first, &size);

    const auto list = orvane::ListNetworkAdapters();
    if (code == ERROR_NO_DATA || (code == NO_ERROR && size == 0)) {
        EXPECT_EQ(list.Status, orvane::alNoAdapter);
        return;
    }
    ASSERT_EQ(code, static_cast<ULONG>(NO_ERROR));
    std::vector<TNetworkAdapter> expected;
    for (auto* info = first; info != nullptr; info = info->Next) {
        if (info->Type == MIB_IF_TYPE_LOOPBACK)
            continue;
        expected.push_back({info->Type, {info->Address, info->Address + info->AddressLength}});
    }
    EXPECT_EQ(list.Status, orvane::alOk);
    ExpectSameAdapters(list.Adapters, expected);
}

} // namespace
