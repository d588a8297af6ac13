#include "platform/NetworkAdapters.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <system_error>

namespace orvane {

namespace {

// ARPHRD_* numbers of <net/if_arp.h>.
constexpr long KArpEther = 1;
constexpr long KArpLoopback = 772;

bool ReadLine(const std::filesystem::path& AFile, std::string& ALine) {
    std::ifstream LIn(AFile);
    if (!LIn) {
        return false;
    }
    std::getline(LIn, ALine);
    return true;
}

std::vector<std::uint8_t> ParseAddress(const std::string& AText) {
    std::vector<std::uint8_t> Result;
    std::size_t I = 0;
    while (I < AText.size()) {
        const auto LEnd = AText.find(':', I);
        const std::string LPiece =
            AText.substr(I, LEnd == std::string::npos ? std::string::npos : LEnd - I);
        if (LPiece.empty() || LPiece.size() > 2) {
            return {};
        }
        try {
            std::size_t LUsed = 0;
            const unsigned long LByte = std::stoul(LPiece, &LUsed, 16);
            if (LUsed != LPiece.size()) {
                return {};
            }
            Result.push_back(static_cast<std::uint8_t>(LByte));
        } catch (const std::exception&) {
            return {};
        }
        if (LEnd == std::string::npos) {
            break;
        }
        I = LEnd + 1;
    }
    // The system's list holds at most 8 address bytes per adapter.
    if (Result.size() > 8) {
        Result.resize(8);
    }
    return Result;
}

} // namespace

TAdapterList ListNetworkAdaptersFrom(const std::filesystem::path& AClassNetDir) {
    TAdapterList Result;
    std::error_code LError;
    if (!std::filesystem::is_directory(AClassNetDir, LError)) {
        Result.Status = alNotSupported;
        return Result;
    }
    struct TFound {
        long Index;
        std::string Name;
        TNetworkAdapter Adapter;
    };
    std::vector<TFound> LFound;
    std::filesystem::directory_iterator LIt(AClassNetDir, LError);
    if (LError) {
        Result.Status = alError;
        Result.ErrorText = LError.message();
        return Result;
    }
    for (const auto& LEntry : LIt) {
        const std::filesystem::path LDir = LEntry.path();
        std::string LTypeText;
        if (!ReadLine(LDir / "type", LTypeText)) {
            continue; // not an interface folder
        }
        long LArpType = 0;
        try {
            LArpType = std::stol(LTypeText);
        } catch (const std::exception&) {
            continue;
        }
        if (LArpType == KArpLoopback) {
            continue;
        }
        TFound LItem;
        LItem.Name = LDir.filename().string();
        std::string LIndexText;
        LItem.Index = 0;
        if (ReadLine(LDir / "ifindex", LIndexText)) {
            try {
                LItem.Index = std::stol(LIndexText);
            } catch (const std::exception&) {
            }
        }
        const bool LWireless = std::filesystem::exists(LDir / "wireless", LError) ||
                               std::filesystem::exists(LDir / "phy80211", LError);
        if (LArpType == KArpEther) {
            LItem.Adapter.Type = LWireless ? atIeee80211 : atEthernet;
        } else {
            LItem.Adapter.Type = atOther;
        }
        std::string LAddressText;
        if (ReadLine(LDir / "address", LAddressText)) {
            LItem.Adapter.Address = ParseAddress(LAddressText);
        }
        LFound.push_back(std::move(LItem));
    }
    if (LFound.empty()) {
        Result.Status = alNoAdapter;
        return Result;
    }
    std::sort(LFound.begin(), LFound.end(), [](const TFound& A, const TFound& B) {
        return A.Index != B.Index ? A.Index < B.Index : A.Name < B.Name;
    });
    for (auto& LItem : LFound) {
        Result.Adapters.push_back(std::move(LItem.Adapter));
    }
    return Result;
}

TAdapterList ListNetworkAdapters() {
    return ListNetworkAdaptersFrom("/sys/class/net");
}

} // namespace orvane
