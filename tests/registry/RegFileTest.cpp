#include "RegistryTestSupport.h"

#include "registry/RegFile.h"
#include "registry/RegText.h"
#include "registry/Registry.h"

#include <gtest/gtest.h>

#include <sstream>

namespace orvane::test {
namespace {

std::vector<std::uint8_t> Bytes(std::size_t ACount, int AStart = 0) {
    std::vector<std::uint8_t> out(ACount);
    for (std::size_t i = 0; i < ACount; ++i) {
        out[i] = static_cast<std::uint8_t>(AStart + i * 13);
    }
    return out;
}

std::vector<std::string> Lines(const std::string& AText) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < AText.size()) {
        const std::size_t end = AText.find("\r\n", start);
        lines.push_back(AText.substr(start, end - start));
        start = end == std::string::npos ? AText.size() : end + 2;
    }
    return lines;
}

// Every kind of value, including ones a quoted string cannot carry.
void FillAllKinds(TRegistryStore& AStore, const std::string& AKey) {
    ASSERT_TRUE(AStore.CreateKey(AKey + "\\Sub\\Deeper"));
    ASSERT_TRUE(AStore.CreateKey(AKey + "\\another"));
    const std::vector<TRegValue> values{
        SzValue("", "default value"),
        SzValue("Quote \"q\" and back\\slash", "C:\\Path \"quoted\"\\"),
        SzValue("Ünïcode ✓", "Ключ 𝄞"),
        SzValue("empty", ""),
        TypedValue("no terminator", rtSz, {'a', 0, 'b', 0}),
        TypedValue("odd", rtSz, {'a', 0, 'b'}),
        TypedValue("line break", rtSz, ToUtf16Le("one\r\ntwo", true)),
        TypedValue("expand", rtExpandSz, ToUtf16Le("%BDS%\\bin;$(BDSLIB)", true)),
        TypedValue("multi", rtMultiSz, ToUtf16Le(std::string("a\0b\0\0", 5), false)),
        DwordValue("dword", 0x0012ABCD),
        TypedValue("short dword", rtDword, {1, 2}),
        TypedValue("qword", rtQword, {1, 2, 3, 4, 5, 6, 7, 8}),
        TypedValue("ProductId", rtBinary, Bytes(100)),
        TypedValue("binary empty", rtBinary, {}),
        TypedValue("none", rtNone, {0xFF, 0}),
        TypedValue("odd type", static_cast<TRegValueType>(0x100), Bytes(3)),
    };
    for (const auto& value : values) {
        ASSERT_TRUE(AStore.SetValue(AKey + "\\Sub", value)) << value.Name;
    }
    ASSERT_TRUE(
        AStore.SetValue(AKey + "\\Sub\\Deeper", TypedValue("long", rtBinary, Bytes(300, 7))));
}

TEST(RegFile, ExportImportExportIsIdentical) {
    TTempStore first;
    ImportRegFile(*first, FixturePath("ide-22.0.reg"));
    FillAllKinds(*first, "SOFTWARE\\Embarcadero\\All Kinds");
    const std::string text = ExportRegText(*first, "SOFTWARE\\Embarcadero");
    ASSERT_TRUE(first->SaveKey("SOFTWARE\\Embarcadero", first.Dir / "saved.reg"));

    TTempStore second;
    ImportRegFile(*second, first.Dir / "saved.reg");
    EXPECT_EQ(ExportRegText(*second, "SOFTWARE\\Embarcadero"), text);
    // And the values are byte for byte what was stored.
    const std::string key = "SOFTWARE\\Embarcadero\\All Kinds\\Sub";
    for (const auto& name : first->ValueNames(key)) {
        const auto a = first->GetValue(key, name);
        const auto b = second->GetValue(key, name);
        ASSERT_TRUE(b.has_value()) << name;
        EXPECT_EQ(a->Type, b->Type) << name;
        EXPECT_EQ(a->Data, b->Data) << name;
    }
    EXPECT_EQ(first->ValueNames(key), second->ValueNames(key));
}

TEST(RegFile, ExportUsesRegeditNotation) {
    TTempStore store;
    ASSERT_TRUE(store->CreateKey("Test\\Sub"));
    ASSERT_TRUE(store->SetValue("Test", SzValue("", "default")));
    ASSERT_TRUE(store->SetValue("Test", SzValue("Quote \"q\" back\\slash", "v\\")));
    ASSERT_TRUE(store->SetValue("Test", DwordValue("dword", 42)));
    ASSERT_TRUE(store->SetValue("Test", TypedValue("bin", rtBinary, {1, 0xAB})));
    ASSERT_TRUE(store->SetValue("Test", TypedValue("expand", rtExpandSz, ToUtf16Le("%A%", true))));
    ASSERT_TRUE(store->SetValue("Test", TypedValue("multi", rtMultiSz, {'x', 0, 0, 0, 0, 0})));
    ASSERT_TRUE(store->SetValue("Test", TypedValue("qword", rtQword, {1, 0, 0, 0, 0, 0, 0, 0})));
    ASSERT_TRUE(store->SetValue("Test", TypedValue("none", rtNone, {})));
    const std::string expected = "Windows Registry Editor Version 5.00\r\n"
                                 "\r\n"
                                 "[HKEY_CURRENT_USER\\Test]\r\n"
                                 "@=\"default\"\r\n"
                                 "\"Quote \\\"q\\\" back\\\\slash\"=\"v\\\\\"\r\n"
                                 "\"dword\"=dword:0000002a\r\n"
                                 "\"bin\"=hex:01,ab\r\n"
                                 "\"expand\"=hex(2):25,00,41,00,25,00,00,00\r\n"
                                 "\"multi\"=hex(7):78,00,00,00,00,00\r\n"
                                 "\"qword\"=hex(b):01,00,00,00,00,00,00,00\r\n"
                                 "\"none\"=hex(0):\r\n"
                                 "\r\n"
                                 "[HKEY_CURRENT_USER\\Test\\Sub]\r\n"
                                 "\r\n";
    // The stored letter case wins over the one asked for.
    EXPECT_EQ(ExportRegText(*store, "TEST"), expected);
    EXPECT_THROW(ExportRegText(*store, "Test\\Missing"), std::runtime_error);
}

// A name with a line break written raw would end its line: the whole file
// would no longer import.
TEST(RegFile, NamesWithLineBreaksAreWrittenSoTheyReadBack) {
    TTempStore store;
    const std::vector<TRegValue> values{
        SzValue("line\nfeed", "a"),
        SzValue("carriage\rreturn", "b"),
        SzValue("both\r\n", "c\r\nd"),
        SzValue("back\\n slash", "e"),
        SzValue("\n", "f"),
    };
    ASSERT_TRUE(store->CreateKey("A"));
    for (const TRegValue& value : values) {
        ASSERT_TRUE(store->SetValue("A", value)) << value.Name;
    }
    const std::string text = ExportRegText(*store, "A");
    EXPECT_NE(text.find("\"line\\nfeed\"=\"a\"\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"carriage\\rreturn\"=\"b\"\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"back\\\\n slash\"=\"e\"\r\n"), std::string::npos) << text;
    EXPECT_EQ(RegDeleteValueText("line\nfeed"), "\"line\\nfeed\"=-\r\n");

    TTempStore second;
    ASSERT_NO_THROW(ApplyRegFile(*second, ParseRegFile(text)));
    for (const TRegValue& value : values) {
        const auto read = second->GetValue("A", value.Name);
        ASSERT_TRUE(read.has_value()) << value.Name;
        EXPECT_EQ(read->Name, value.Name);
        EXPECT_EQ(read->Data, value.Data) << value.Name;
    }
    EXPECT_EQ(ExportRegText(*second, "A"), text);
}

TEST(RegFile, LongHexDataWrapsLikeRegedit) {
    TTempStore store;
    ASSERT_TRUE(store->CreateKey("K"));
    ASSERT_TRUE(store->SetValue("K", TypedValue("ProductId", rtBinary, Bytes(100))));
    const auto lines = Lines(ExportRegText(*store, "K"));
    // Header, blank, key line, then the value.
    ASSERT_GE(lines.size(), 8u);
    std::vector<std::string> value(lines.begin() + 3, lines.end() - 1);
    // 100 bytes: 21 on the first line, 25 on the next three, 4 on the last.
    const std::size_t counts[] = {21, 25, 25, 25, 4};
    ASSERT_EQ(value.size(), std::size(counts));
    for (std::size_t i = 0; i < value.size(); ++i) {
        const std::string& line = value[i];
        EXPECT_LE(line.size(), 80u) << line;
        const bool last = i + 1 == value.size();
        EXPECT_EQ(line.back() == '\\', !last) << line;
        const std::string data =
            i == 0 ? line.substr(std::string("\"ProductId\"=hex:").size()) : line.substr(2);
        if (i > 0) {
            EXPECT_EQ(line.substr(0, 2), "  ");
        }
        // "xx," per byte; the last byte has neither comma nor backslash.
        const std::size_t bytes = last ? (data.size() + 1) / 3 : (data.size() - 1) / 3;
        EXPECT_EQ(bytes, counts[i]) << line;
    }
    EXPECT_EQ(value[0],
              "\"ProductId\"=hex:00,0d,1a,27,34,41,4e,5b,68,75,82,8f,9c,a9,b6,c3,d0,dd,ea,"
              "f7,04,\\");
}

TEST(RegFile, SavedFileIsUtf16WithByteOrderMark) {
    TTempStore store;
    ASSERT_TRUE(store->CreateKey("K"));
    ASSERT_TRUE(store->SetValue("K", SzValue("name", "Ü")));
    ASSERT_TRUE(store->SaveKey("K", store.Dir / "k.reg"));
    const std::string bytes = ReadFileBytes(store.Dir / "k.reg");
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
    const std::string text = FromUtf16Le(reinterpret_cast<const std::uint8_t*>(bytes.data()) + 2,
                                         bytes.size() - 2, false);
    EXPECT_EQ(text, ExportRegText(*store, "K"));
    EXPECT_NE(text.find("\"name\"=\"Ü\"\r\n"), std::string::npos);
}

TEST(RegFile, ReadsWhatRegeditWrites) {
    // Written by another encoder (Python) as regedit does: UTF-16LE with BOM.
    TTempStore store;
    ImportRegFile(*store, FixturePath("regedit-utf16.reg"));
    const std::string key = "Software\\Sample\\Values";
    EXPECT_EQ(ReadText(*store, key, ""), "Standard");
    EXPECT_EQ(ReadText(*store, key, "Path"), "C:\\Program Files\\Sample\\");
    EXPECT_EQ(ReadText(*store, key, "Größe"), "groß");
    EXPECT_EQ(store->GetValue(key, "Count")->Data, DwordValue("", 0x10).Data);
    EXPECT_EQ(store->GetValue(key, "Expand")->Type, rtExpandSz);
    EXPECT_EQ(ReadText(*store, key, "Expand"), "%ProgramFiles%\\Sample");
    EXPECT_EQ(store->GetValue(key, "Multi")->Data,
              ToUtf16Le(std::string("one\0two\0\0", 9), false));
    EXPECT_EQ(store->GetValue(key, "Blob")->Data, Bytes(40));
    EXPECT_EQ(store->GetValue(key, "Quad")->Type, rtQword);
    EXPECT_FALSE(store->KeyExists("Software\\Sample\\Removed"));
}

TEST(RegFile, AcceptedForms) {
    struct TCase {
        const char* Name;
        std::string Bytes;
        std::string Key;
        std::string Value;
        TRegValueType Type;
        std::vector<std::uint8_t> Data;
    };
    const std::string h5 = "Windows Registry Editor Version 5.00\r\n\r\n";
    const std::vector<TCase> cases{
        {"REGEDIT4 string", "REGEDIT4\n\n[HKEY_CURRENT_USER\\A]\n\"s\"=\"x\"\n", "A", "s", rtSz,
         ToUtf16Le("x", true)},
        {"REGEDIT4 single-byte expand string",
         "REGEDIT4\n\n[HKEY_CURRENT_USER\\A]\n\"e\"=hex(2):25,41,25,00\n", "A", "e", rtExpandSz,
         ToUtf16Le("%A%", true)},
        {"REGEDIT4 multi string", "REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"m\"=hex(7):61,00,62,00,00\n",
         "A", "m", rtMultiSz, ToUtf16Le(std::string("a\0b\0\0", 5), false)},
        {"UTF-8 with BOM", "\xEF\xBB\xBF" + h5 + "[HKCU\\A]\r\n\"ü\"=\"ß\"\r\n", "A", "ü", rtSz,
         ToUtf16Le("ß", true)},
        {"hkcu abbreviation and blanks",
         h5 + "[hkcu\\A\\B\\]\r\n  \"v\" = dword:FFFFFFFF  \r\n",
         "A\\B",
         "v",
         rtDword,
         {0xFF, 0xFF, 0xFF, 0xFF}},
        {"short dword",
         h5 + "[HKEY_CURRENT_USER\\A]\r\n\"v\"=dword:1\r\n",
         "A",
         "v",
         rtDword,
         {1, 0, 0, 0}},
        {"continuation and comments",
         h5 + "; comment\r\n[HKEY_CURRENT_USER\\A]\r\n;another\r\n\"b\"=hex:01,02,\\\r\n  03,\\\r\n"
              "      04\r\n",
         "A",
         "b",
         rtBinary,
         {1, 2, 3, 4}},
        {"typed hex, upper-case digits",
         h5 + "[HKEY_CURRENT_USER\\A]\r\n\"t\"=hex(B):0A,0b\r\n",
         "A",
         "t",
         rtQword,
         {10, 11}},
        {"empty hex", h5 + "[HKEY_CURRENT_USER\\A]\r\n\"t\"=hex(0):\r\n", "A", "t", rtNone, {}},
        {"default value", h5 + "[HKEY_CURRENT_USER\\A]\r\n@=\"d\"\r\n", "A", "", rtSz,
         ToUtf16Le("d", true)},
        {"escaped name",
         h5 + "[HKEY_CURRENT_USER\\A]\r\n\"a\\\"b\\\\c\"=\"\"\r\n",
         "A",
         "a\"b\\c",
         rtSz,
         {0, 0}},
        // Line breaks inside names and strings, as regedit writes them.
        {"line breaks in a string", h5 + "[HKEY_CURRENT_USER\\A]\r\n\"s\"=\"one\\r\\ntwo\\n\"\r\n",
         "A", "s", rtSz, ToUtf16Le("one\r\ntwo\n", true)},
        {"line breaks in a name",
         h5 + "[HKEY_CURRENT_USER\\A]\r\n\"a\\nb\\r\\\\n\"=dword:1\r\n",
         "A",
         "a\nb\r\\n",
         rtDword,
         {1, 0, 0, 0}},
        {"stray CR line", h5 + "[HKEY_CURRENT_USER\\A]\r\n\"s\"=\"x\"\r\n\r\r\n", "A", "s", rtSz,
         ToUtf16Le("x", true)},
        {"LF only", "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n\"s\"=\"x\"",
         "A", "s", rtSz, ToUtf16Le("x", true)},
    };
    for (const auto& c : cases) {
        TTempStore store;
        try {
            ApplyRegFile(*store, ParseRegFile(c.Bytes));
        } catch (const std::exception& e) {
            ADD_FAILURE() << c.Name << ": " << e.what();
            continue;
        }
        const auto value = store->GetValue(c.Key, c.Value);
        ASSERT_TRUE(value.has_value()) << c.Name;
        EXPECT_EQ(value->Type, c.Type) << c.Name;
        EXPECT_EQ(value->Data, c.Data) << c.Name;
    }
}

TEST(RegFile, DeletionsApplyInFileOrder) {
    TTempStore store;
    ImportRegFile(*store, FixturePath("ide-22.0.reg"));
    const std::string text = "Windows Registry Editor Version 5.00\r\n\r\n"
                             "[-HKEY_CURRENT_USER\\SOFTWARE\\Embarcadero\\BDS\\22.0\\C++]\r\n"
                             "[-HKEY_CURRENT_USER\\Nowhere]\r\n"
                             "[HKEY_CURRENT_USER\\SOFTWARE\\Embarcadero\\BDS\\22.0]\r\n"
                             "\"RootDir\"=-\r\n"
                             "\"Absent\"=-\r\n";
    ApplyRegFile(*store, ParseRegFile(text));
    EXPECT_FALSE(store->KeyExists("SOFTWARE\\Embarcadero\\BDS\\22.0\\C++\\Paths\\Win32"));
    EXPECT_FALSE(store->GetValue("SOFTWARE\\Embarcadero\\BDS\\22.0", "RootDir").has_value());
    EXPECT_TRUE(store->GetValue("SOFTWARE\\Embarcadero\\BDS\\22.0", "ProductVersion").has_value());
    EXPECT_TRUE(store->KeyExists("SOFTWARE\\Embarcadero\\BDS\\22.0\\Library\\Win32"));
}

TEST(RegFile, MalformedFilesAreRejectedWithTheLine) {
    const std::string h = "Windows Registry Editor Version 5.00\n\n";
    struct TCase {
        std::string Text;
        int Line;
        const char* Fragment;
    } const cases[] = {
        {"", 1, "expected"},
        {"Windows Registry Editor Version 4.00\n", 1, "expected"},
        {"[HKEY_CURRENT_USER\\A]\n", 1, "expected"},
        {h + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\n", 3, "HKEY_CURRENT_USER"},
        {h + "[HKLM\\SOFTWARE\\X]\n", 3, "HKEY_CURRENT_USER"},
        {h + "\"v\"=\"x\"\n", 3, "before the first key"},
        {h + "[HKEY_CURRENT_USER\\A]\n\"a\"=dword:123456789\n", 4, "dword"},
        {h + "[HKEY_CURRENT_USER\\A]\n\"a\"=dword:12x4\n", 4, "dword"},
        {h + "[HKEY_CURRENT_USER\\A]\n\"a\"=hex:0g\n", 4, "hex"},
        {h + "[HKEY_CURRENT_USER\\A]\n\"a\"=hex:012\n", 4, "two digits"},
        {h + "[HKEY_CURRENT_USER\\A]\n\"a\"=hex:01,,02\n", 4, "missing byte"},
        {h + "[HKEY_CURRENT_USER\\A]\n\"a\"=hex:01,\n", 4, "ends with ','"},
        {h + "[HKEY_CURRENT_USER\\A]\n\"a\"=hex(zz):01\n", 4, "type"},
        {h + "[HKEY_CURRENT_USER\\A]\n\"a\"=hex:01,\\\n", 4, "past the end"},
        {h + "[HKEY_CURRENT_USER\\A]\n\"a\"=hex:01,\\\n  02,\\\n  zz\n", 6, "bad hex"},
        {h + "[HKEY_CURRENT_USER\\A]\n\"a\"=\"unterminated\n", 4, "closing quote"},
        {h + "[HKEY_CURRENT_USER\\A]\n\"a\"=\"x\" trailing\n", 4, "after the value"},
        {h + "[HKEY_CURRENT_USER\\A]\n\"a\"=\"bad \\q escape\"\n", 4, "escape"},
        {h + "[HKEY_CURRENT_USER\\A]\n\"a\"=str:x\n", 4, "unrecognised value"},
        {h + "[HKEY_CURRENT_USER\\A]\n\"a\" \"x\"\n", 4, "'='"},
        {h + "[HKEY_CURRENT_USER\\A]\ngarbage\n", 4, "unrecognised line"},
        {h + "[HKEY_CURRENT_USER\\A\n", 3, "[KEY]"},
        {h + "[HKEY_CURRENT_USER\\A\\\\B]\n", 3, "empty key name"},
        {h + "[-HKEY_CURRENT_USER]\n", 3, "cannot be deleted"},
        {h + "[-HKEY_CURRENT_USER\\A]\n\"a\"=\"x\"\n", 4, "being deleted"},
        {h + "[HKEY_CURRENT_USER\\A]\n\"a\"=\"\xC3\x28\"\n", 4, "UTF-8"},
        {"\xFE\xFF" + h, 1, "big-endian"},
    };
    for (const auto& c : cases) {
        // A valid key before the fault must not be applied either.
        TTempStore store;
        try {
            ImportRegFile(*store, [&] {
                const auto file = store.Dir / "bad.reg";
                WriteFileBytes(file, c.Text);
                return file;
            }());
            ADD_FAILURE() << "accepted: " << c.Text;
        } catch (const ERegFileError& e) {
            EXPECT_EQ(e.Line(), c.Line) << c.Text << " -> " << e.what();
            const std::string message = e.what();
            EXPECT_NE(message.find(c.Fragment), std::string::npos) << message;
            EXPECT_NE(message.find("bad.reg"), std::string::npos) << message;
            EXPECT_NE(message.find("line " + std::to_string(c.Line) + ":"), std::string::npos)
                << message;
        }
        EXPECT_TRUE(store->SubKeyNames("").empty()) << c.Text;
    }
}

TEST(RegFile, KeyArgumentsOfTheTool) {
    struct TCase {
        const char* In;
        const char* Out; // nullptr: refused
    } const cases[] = {
        {"HKEY_CURRENT_USER\\SOFTWARE\\Embarcadero", "SOFTWARE\\Embarcadero"},
        {"hkcu\\SOFTWARE\\", "SOFTWARE"},
        {"HKEY_CURRENT_USER", ""},
        {"SOFTWARE\\Embarcadero\\BDS", "SOFTWARE\\Embarcadero\\BDS"},
        {"\\SOFTWARE\\", "SOFTWARE"},
        {"HKEY_LOCAL_MACHINE\\SOFTWARE", nullptr},
        {"HKLM\\SOFTWARE", nullptr},
    };
    for (const auto& c : cases) {
        if (c.Out) {
            EXPECT_EQ(KeyBelowCurrentUser(c.In), c.Out) << c.In;
        } else {
            EXPECT_THROW(KeyBelowCurrentUser(c.In), ERegFileError) << c.In;
        }
    }
}

} // namespace
} // namespace orvane::test
