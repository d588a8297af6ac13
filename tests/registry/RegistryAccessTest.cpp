#include "RegistryTestSupport.h"

#include "registry/RegText.h"
#include "registry/Registry.h"

#include <gtest/gtest.h>

namespace orvane::test {
namespace {

template <typename F> std::string ErrorOf(F AAction) {
    try {
        AAction();
    } catch (const ERegistryException& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(RegistryAccess, AccessMasksAreTheWindowsNumbers) {
    TTempStore store;
    EXPECT_EQ(TRegistry(*store, raRead).Access(), 0x20019u);
    EXPECT_EQ(TRegistry(*store, raReadWrite).Access(), 0x2001Fu);
}

TEST(RegistryAccess, ReadOnlyAccessorRefusesEveryWrite) {
    TTempStore store;
    ASSERT_TRUE(store->CreateKey("Existing\\Child"));
    ASSERT_TRUE(store->SetValue("Existing", SzValue("v", "old")));
    TRegistry reg(*store, raRead);

    EXPECT_EQ(ErrorOf([&] { reg.CreateKey("New\\"); }), "Failed to create key New\\");
    EXPECT_FALSE(reg.OpenKey("New\\", true));
    EXPECT_FALSE(store->KeyExists("New"));

    ASSERT_TRUE(reg.OpenKey("Existing\\", true));
    EXPECT_EQ(ErrorOf([&] { reg.WriteString("v", "new"); }), "Failed to set data for 'v'");
    EXPECT_FALSE(reg.DeleteValue("v"));
    EXPECT_FALSE(reg.DeleteKey("Child"));
    EXPECT_EQ(reg.ReadString("v"), "old");
    EXPECT_TRUE(store->KeyExists("Existing\\Child"));
}

// A writing accessor opens a key with write access: a key the user may read but
// not change does not open (the routines skip it) instead of failing on the
// first write with "Failed to set data for ...". A reading accessor still opens it.
TEST(RegistryAccess, WritingAccessorDoesNotOpenAKeyItMayNotChange) {
    TTempStore store;
    ASSERT_TRUE(store->CreateKey("Locked"));
    ASSERT_TRUE(store->SetValue("Locked", SzValue("v", "old")));
    ASSERT_TRUE(store->CreateKey("Open"));
    bool byKeySecurity = false;
    const auto denied = DenyWrites(store, "Locked", &byKeySecurity);
#ifdef _WIN32
    // Wine keeps a key's security descriptor and checks it on every open, as
    // Windows does; should a system not, a store refusing the writes stands in.
    EXPECT_TRUE(byKeySecurity) << "the system ignores the key's DACL";
#endif
    EXPECT_TRUE(denied->KeyExists("Locked"));
    EXPECT_FALSE(denied->CanWriteKey("Locked"));
    EXPECT_FALSE(denied->SetValue("Locked", SzValue("v", "new")));
    EXPECT_TRUE(denied->CanWriteKey("Open"));

    TRegistry writer(*denied, raReadWrite);
    EXPECT_TRUE(writer.KeyExists("Locked\\"));
    EXPECT_FALSE(writer.OpenKey("Locked\\", false));
    EXPECT_FALSE(writer.OpenKey("Locked\\", true));
    EXPECT_FALSE(writer.HasCurrentKey());
    // Nor can a new key be made below it: Windows checks the parent's
    // KEY_CREATE_SUB_KEY. Wine does not when the key is created by its path from
    // the root, and makes it.
#ifdef _WIN32
    if (!RunningUnderWine())
#endif
    {
        EXPECT_FALSE(writer.OpenKey("Locked\\New\\", true));
        EXPECT_FALSE(store->KeyExists("Locked\\New"));
    }
    ASSERT_TRUE(writer.OpenKey("Open\\", false));
    writer.WriteString("w", "x");
    writer.CloseKey();
    EXPECT_EQ(ReadText(*store, "Open", "w"), "x");

    TRegistry reader(*denied, raRead);
    ASSERT_TRUE(reader.OpenKey("Locked\\", false));
    EXPECT_EQ(reader.ReadString("v"), "old");
    EXPECT_EQ(ReadText(*store, "Locked", "v"), "old");
}

TEST(RegistryAccess, PathsAreTakenBelowTheOpenKey) {
    TTempStore store;
    TRegistry reg(*store);
    reg.CreateKey("SOFTWARE\\Embarcadero\\BDS\\22.0\\");
    ASSERT_TRUE(reg.OpenKey("SOFTWARE\\Embarcadero\\", false));
    EXPECT_EQ(reg.CurrentPath(), "SOFTWARE\\Embarcadero");
    EXPECT_TRUE(reg.KeyExists("BDS\\22.0\\"));
    EXPECT_FALSE(reg.KeyExists("SOFTWARE\\"));
    // A leading "\" starts at the root even while a key is open.
    EXPECT_TRUE(reg.KeyExists("\\SOFTWARE\\"));
    ASSERT_TRUE(reg.OpenKey("BDS\\", false));
    EXPECT_EQ(reg.CurrentPath(), "SOFTWARE\\Embarcadero\\BDS");
    reg.CreateKey("23.0\\");
    EXPECT_TRUE(store->KeyExists("SOFTWARE\\Embarcadero\\BDS\\23.0"));
    EXPECT_EQ(reg.GetKeyNames(), (std::vector<std::string>{"22.0", "23.0"}));

    reg.CloseKey();
    EXPECT_FALSE(reg.HasCurrentKey());
    EXPECT_FALSE(reg.KeyExists("BDS\\"));
    EXPECT_TRUE(reg.KeyExists("SOFTWARE\\Embarcadero\\BDS\\"));
}

TEST(RegistryAccess, OpenKeyWithCreateMakesTheKey) {
    TTempStore store;
    TRegistry reg(*store);
    EXPECT_FALSE(reg.OpenKey("A\\B\\", false));
    EXPECT_FALSE(reg.HasCurrentKey());
    ASSERT_TRUE(reg.OpenKey("A\\B\\", true));
    EXPECT_TRUE(store->KeyExists("A\\B"));
    reg.WriteString("Name", "Value");
    EXPECT_EQ(store->GetValue("A\\B", "Name")->Data, ToUtf16Le("Value", true));
}

TEST(RegistryAccess, ReadStringByTypeAndData) {
    struct TCase {
        const char* Name;
        TRegValueType Type;
        std::vector<std::uint8_t> Data;
        std::string Expected; // "!" + error text when it must fail
    };
    const std::vector<TCase> cases{
        {"sz", rtSz, ToUtf16Le("C:\\Lib;D:\\Other;", true), "C:\\Lib;D:\\Other;"},
        {"sz embedded nul", rtSz, {'a', 0, 0, 0, 'b', 0, 0, 0}, "a"},
        {"sz no terminator", rtSz, {'a', 0, 'b', 0}, "ab"},
        {"sz odd length", rtSz, {'a', 0, 'b'}, "a"},
        {"sz non-ascii", rtSz, ToUtf16Le("Ärger ✓ 𝄞", true), "Ärger ✓ 𝄞"},
        {"sz empty", rtSz, {}, ""},
        {"expand unexpanded", rtExpandSz, ToUtf16Le("$(BDS)\\lib;%PATH%", true),
         "$(BDS)\\lib;%PATH%"},
        {"dword", rtDword, {1, 0, 0, 0}, "!Invalid data type for 'dword'"},
        {"qword", rtQword, {1, 0, 0, 0, 0, 0, 0, 0}, "!Invalid data type for 'qword'"},
        {"multi", rtMultiSz, {'a', 0, 0, 0, 0, 0}, "!Invalid data type for 'multi'"},
        {"binary", rtBinary, {1, 2}, "!Invalid data type for 'binary'"},
        {"none without data", rtNone, {}, ""},
        {"binary one byte", rtBinary, {7}, ""},
    };
    TTempStore store;
    ASSERT_TRUE(store->CreateKey("K"));
    for (const auto& c : cases) {
        ASSERT_TRUE(store->SetValue("K", TypedValue(c.Name, c.Type, c.Data)));
    }
    TRegistry reg(*store, raRead);
    ASSERT_TRUE(reg.OpenKey("K\\", false));
    for (const auto& c : cases) {
        if (c.Expected.starts_with("!")) {
            EXPECT_EQ(ErrorOf([&] { reg.ReadString(c.Name); }), c.Expected.substr(1)) << c.Name;
        } else {
            EXPECT_EQ(reg.ReadString(c.Name), c.Expected) << c.Name;
        }
    }
    EXPECT_EQ(reg.ReadString("absent"), "");
    EXPECT_FALSE(reg.ValueExists("absent"));
    EXPECT_TRUE(reg.ValueExists("SZ"));
}

TEST(RegistryAccess, WriteStringStoresATerminatedRegSz) {
    TTempStore store;
    ASSERT_TRUE(store->CreateKey("K"));
    ASSERT_TRUE(store->SetValue("K", DwordValue("Was DWORD", 3)));
    TRegistry reg(*store);
    ASSERT_TRUE(reg.OpenKey("K\\", false));
    reg.WriteString("Was DWORD", "now text");
    reg.WriteString("", "default");
    const auto value = store->GetValue("K", "was dword");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->Type, rtSz);
    EXPECT_EQ(value->Data, ToUtf16Le("now text", true));
    EXPECT_EQ(reg.ReadString(""), "default");
    EXPECT_EQ(InValueOrder(reg.GetValueNames()), InValueOrder({"Was DWORD", ""}));
}

TEST(RegistryAccess, DeleteKeyAndValueBelowTheOpenKey) {
    TTempStore store;
    ASSERT_TRUE(store->CreateKey("Elements\\Orvane-One\\Sub"));
    ASSERT_TRUE(store->CreateKey("Elements\\Other"));
    ASSERT_TRUE(store->SetValue("Elements", SzValue("v", "x")));
    TRegistry reg(*store);
    ASSERT_TRUE(reg.OpenKey("Elements\\", false));
    EXPECT_TRUE(reg.DeleteKey("Orvane-One"));
    EXPECT_FALSE(reg.DeleteKey("Orvane-One"));
    EXPECT_TRUE(reg.DeleteValue("V"));
    EXPECT_FALSE(store->KeyExists("Elements\\Orvane-One\\Sub"));
    EXPECT_TRUE(store->KeyExists("Elements\\Other"));
    EXPECT_TRUE(store->ValueNames("Elements").empty());
}

TEST(RegistryAccess, SaveKeyReportsWhyItFailedAndNeverThrows) {
    TTempStore store;
    ASSERT_TRUE(store->CreateKey("Elements\\Orvane-One"));
    WriteFileBytes(store.Dir / "exists.reg", "x");
    TRegistry reg(*store);
    ASSERT_TRUE(reg.OpenKey("Elements\\", false));
    struct TCase {
        const char* Key;
        std::filesystem::path File;
        bool Ok;
        const char* Reason;
    } const cases[] = {
        {"Orvane-One", store.Dir / "exists.reg", false, "the file already exists"},
        {"Orvane-One", store.Dir / "missing" / "x.reg", false, "the folder does not exist"},
        {"Orvane-Two", store.Dir / "two.reg", false, "the key does not exist"},
        {"Orvane-One", store.Dir / "one.reg", true, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(reg.SaveKey(c.Key, c.File), c.Ok) << c.File;
        EXPECT_EQ(reg.LastError(), c.Reason) << c.File;
    }
    EXPECT_TRUE(std::filesystem::exists(store.Dir / "one.reg"));
    EXPECT_FALSE(std::filesystem::exists(store.Dir / "two.reg"));
}

} // namespace
} // namespace orvane::test
