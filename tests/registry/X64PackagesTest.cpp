#include "RegistryTestSupport.h"

#include "registry/RegFile.h"
#include "registry/X64Packages.h"

#include <gtest/gtest.h>

namespace orvane::test {
namespace {

const std::string kKnown64 = "SOFTWARE\\Embarcadero\\BDS\\23.0\\Known Packages x64";
const std::string kDisabled64 = "SOFTWARE\\Embarcadero\\BDS\\23.0\\Disabled Packages x64";

const TKnownPackagePairs kPairs64{
    {"/common/23.0/Bpl/Win64/Orvane_Core.bpl", "Orvane_Core.bpl"},
    {"/common/23.0/Bpl/Win64/Orvane_Design.bpl", "Orvane_Design.bpl"},
};

struct TFixture {
    TTempStore Store;
    explicit TFixture(const std::string& AFile) { ImportRegFile(*Store, FixturePath(AFile)); }
    std::vector<std::string> Names(const std::string& AKey) {
        return InValueOrder(Store->ValueNames(AKey));
    }
    std::string Everything() { return ExportRegText(*Store, "SOFTWARE"); }
};

TEST(X64Packages, RegisterReplacesTheFrameworksValuesAndKeepsOthers) {
    TFixture f("ide-23.0.reg");
    const std::string before32 =
        ExportRegText(*f.Store, "SOFTWARE\\Embarcadero\\BDS\\23.0\\Known Packages");
    ASSERT_TRUE(HasX64IDE(*f.Store, "23.0"));

    RegisterX64Packages(*f.Store, "23.0", kPairs64);

    EXPECT_EQ(f.Names(kKnown64), InValueOrder({
                                     "$(BDS)\\Bin64\\dclstd290.bpl",
                                     "C:\\Vendor\\Bpl\\Win64\\VendorGrid290.bpl",
                                     "C:\\Vendor\\Bpl\\Win64\\orvane_lookalike.bpl",
                                     kPairs64[0][0],
                                     kPairs64[1][0],
                                 }));
    EXPECT_EQ(ReadText(*f.Store, kKnown64, kPairs64[1][0]), "Orvane_Design.bpl");
    EXPECT_EQ(ReadText(*f.Store, kKnown64, "C:\\Vendor\\Bpl\\Win64\\VendorGrid290.bpl"),
              "Vendor Grid");
    // The framework's disabled entry goes; nothing is added there.
    EXPECT_EQ(f.Names(kDisabled64), InValueOrder({"C:\\Vendor\\Bpl\\Win64\\VendorCharts290.bpl"}));
    // The 32-bit IDE's list is another routine's business.
    EXPECT_EQ(ExportRegText(*f.Store, "SOFTWARE\\Embarcadero\\BDS\\23.0\\Known Packages"),
              before32);

    // Again: one value per package, not two.
    RegisterX64Packages(*f.Store, "23.0", kPairs64);
    EXPECT_EQ(f.Names(kKnown64).size(), 5u);
}

TEST(X64Packages, UnregisterEmptiesBothListsOfTheFramework) {
    TFixture f("ide-23.0.reg");
    RegisterX64Packages(*f.Store, "23.0", kPairs64);
    UnregisterX64Packages(*f.Store, "23.0");
    EXPECT_EQ(f.Names(kKnown64), InValueOrder({
                                     "$(BDS)\\Bin64\\dclstd290.bpl",
                                     "C:\\Vendor\\Bpl\\Win64\\VendorGrid290.bpl",
                                     "C:\\Vendor\\Bpl\\Win64\\orvane_lookalike.bpl",
                                 }));
    EXPECT_EQ(f.Names(kDisabled64), InValueOrder({"C:\\Vendor\\Bpl\\Win64\\VendorCharts290.bpl"}));
}

TEST(X64Packages, WithoutThe64BitIDENothingIsCreated) {
    // A version without the 64-bit IDE, and one with the package list but no
    // disabled list.
    struct TCase {
        const char* Label;
        std::string Drop;
        bool Has64;
    } const cases[] = {
        {"no 64-bit IDE", kKnown64, false},
        {"no disabled list", kDisabled64, true},
    };
    for (const auto& c : cases) {
        TFixture f("ide-23.0.reg");
        ASSERT_TRUE(f.Store->DeleteKey(c.Drop));
        if (c.Drop == kKnown64) {
            ASSERT_TRUE(f.Store->DeleteKey(kDisabled64));
        }
        EXPECT_EQ(HasX64IDE(*f.Store, "23.0"), c.Has64) << c.Label;
        RegisterX64Packages(*f.Store, "23.0", kPairs64);
        UnregisterX64Packages(*f.Store, "23.0");
        EXPECT_FALSE(f.Store->KeyExists(c.Drop)) << c.Label;
        EXPECT_FALSE(f.Store->KeyExists(kDisabled64)) << c.Label;
    }
    TFixture older("ide-22.0.reg");
    const std::string before = older.Everything();
    EXPECT_FALSE(HasX64IDE(*older.Store, "22.0"));
    RegisterX64Packages(*older.Store, "22.0", kPairs64);
    UnregisterX64Packages(*older.Store, "22.0");
    EXPECT_EQ(older.Everything(), before);
}

} // namespace
} // namespace orvane::test
