#include "server/Protocol.h"

#include <gtest/gtest.h>

#include <string>

using namespace orvane;

namespace {

const std::string KBase = "https://api.example.test";

struct TUrlCase {
    const char* Name;
    std::string EndPoint;
    std::string Base;
    std::string Token;
    std::string Expected;
};

TEST(RequestUrl, CasesTable) {
    const TUrlCase KCases[] = {
        {"absolute https unchanged", "https://cdn.test/a.zip", KBase, "T",
         "https://cdn.test/a.zip"},
        {"absolute http unchanged", "http://cdn.test/a.zip?x=1", KBase, "T",
         "http://cdn.test/a.zip?x=1"},
        {"capital HTTPS is relative", "HTTPS://cdn.test/a.zip", KBase, "T",
         KBase + "/HTTPS://cdn.test/a.zip?token=T"},
        {"endpoint with slash", "/cfg/?mode=dev&mac=", KBase, "T",
         KBase + "/cfg/?mode=dev&mac=&token=T"},
        {"slash added between", "file/a.zip", KBase, "T", KBase + "/file/a.zip?token=T"},
        {"base ending in slash", "file/a.zip", KBase + "/", "T", KBase + "/file/a.zip?token=T"},
        {"double slash kept", "/file/a.zip", KBase + "/", "T", KBase + "//file/a.zip?token=T"},
        {"empty token still appended", "/cfg/?mode=dev", KBase, "",
         KBase + "/cfg/?mode=dev&token="},
        {"question mark anywhere", "a?b", KBase, "T", KBase + "/a?b&token=T"},
        {"token is encoded", "/x", KBase, "a+b&c", KBase + "/x?token=a%2Bb%26c"},
        {"empty base", "file/a.zip", "", "T", "/file/a.zip?token=T"},
    };
    for (const auto& C : KCases) {
        EXPECT_EQ(RequestUrl(C.EndPoint, C.Base, C.Token), C.Expected) << C.Name;
    }
}

TEST(TokenUrl, Editions) {
    TCredentials LDev;
    EXPECT_EQ(TokenUrl(KBase, LDev), KBase + "/token/");

    TCredentials LCom{imCommercial, "a+b&c d@x.test", "", "GAMEPACKAGE"};
    // Encoded so "+" and "&" reach the server as typed; the empty password is
    // still hashed.
    EXPECT_EQ(TokenUrl(KBase, LCom),
              KBase + "/token/?user=a%2Bb%26c%20d%40x.test&pwd=d41d8cd98f00b204e9800998ecf8427e");

    TCredentials LBad;
    LBad.Mode = static_cast<TUserMode>(7);
    try {
        TokenUrl(KBase, LBad);
        FAIL() << "a bad mode must throw";
    } catch (const TProtocolError& E) {
        EXPECT_STREQ(E.what(), "invalid api token request");
    }
}

TEST(ConfigurationEndpoint, ModesAndMachineDigest) {
    EXPECT_EQ(ConfigurationEndpoint(imDeveloper, ""), "/cfg/?mode=dev&mac=");
    EXPECT_EQ(ConfigurationEndpoint(imCommercial, "0123abcd"), "/cfg/?mode=com&mac=0123abcd");
    EXPECT_EQ(RequestUrl(ConfigurationEndpoint(imDeveloper, ""), KBase, "tok"),
              KBase + "/cfg/?mode=dev&mac=&token=tok");
    try {
        ConfigurationEndpoint(static_cast<TUserMode>(2), "");
        FAIL() << "a bad mode must throw";
    } catch (const TProtocolError& E) {
        EXPECT_STREQ(E.what(), "invalid user mode");
    }
}

TEST(MD5Text, Vectors) {
    const std::pair<std::string, std::string> KVectors[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"The quick brown fox jumps over the lazy dog", "9e107d9d372bb6826bd81d3542a419d6"},
        // "Größe" as UTF-8 bytes
        {"Gr\xC3\xB6\xC3\x9F"
         "e",
         "d248453369cf82a6a64617f1357089c5"},
    };
    for (const auto& [LText, LDigest] : KVectors) {
        EXPECT_EQ(MD5Text(LText), LDigest) << LText;
    }
}

struct TMemberCase {
    const char* Json;
    bool Present;
    std::string Text;
};

TEST(ReadMemberText, RuleTable) {
    const TMemberCase KCases[] = {
        {R"({"m": "plain"})", true, "plain"},
        {R"({"m": 42})", true, "42"},
        {R"({"m": 1.50})", true, "1.50"},
        {R"({"m": -0.0e5})", true, "-0.0e5"},
        {R"({"m": true})", false, ""},
        {R"({"m": false})", false, ""},
        {R"({"m": null})", false, ""},
        {R"({"m": {}})", false, ""},
        {R"({"m": ["a"]})", false, ""},
        {R"({"other": "x"})", false, ""},
        {R"({"M": "case"})", false, ""},
        {R"({"m": "first", "m": "second"})", true, "first"},
        {R"({"m": null, "m": "second"})", false, ""},
        {R"({"m": "\"quoted\""})", true, "quoted"},
        {R"({"m": "\"a\"\"b\""})", true, "a\"b"},
        {R"({"m": "\"a\"b\""})", true, "ab"},
        {R"({"m": "\"\"\"\""})", true, "\""},
        {R"({"m": "\""})", true, "\""},
        {R"({"m": "a\"b"})", true, "a\"b"},
        {R"({"m": " \t\r\n padded \u0001"})", true, "padded"},
        {R"({"m": "\" spaced \""})", true, "spaced"},
        {R"({"m": "   "})", true, ""},
        {R"({"m": "caf\u00e9"})", true, "caf\xC3\xA9"},
    };
    for (const auto& C : KCases) {
        const auto LDocument = ParseAnswer(C.Json);
        ASSERT_TRUE(LDocument) << C.Json;
        const auto LText = ReadMemberText(*LDocument, "m");
        EXPECT_EQ(LText.has_value(), C.Present) << C.Json;
        if (C.Present && LText) {
            EXPECT_EQ(*LText, C.Text) << C.Json;
        }
    }
}

TEST(FileVersionFromFile, Cases) {
    const std::pair<std::string, std::string> KCases[] = {
        {"Orvane_22.0_1.4.2.zip", "1.4.2"},
        {"Orvane.zip", "Orvane"},
        {"a_b_", ""},
        {"a_1.zip.zip", "1"},
        {"a_1.ZIP", "1.ZIP"},
        {"", ""},
    };
    for (const auto& [LFile, LVersion] : KCases) {
        EXPECT_EQ(FileVersionFromFile(LFile), LVersion) << LFile;
    }
}

TEST(ReadTokenAnswer, Cases) {
    EXPECT_EQ(ReadTokenAnswer(R"({"token": "  abc  ", "x": 1})"), "abc");
    EXPECT_EQ(ReadTokenAnswer(R"({"token": 123})"), "123");
    EXPECT_EQ(ReadTokenAnswer(R"({"token": ""})"), "");
    for (const char* LBad : {R"({"token": null})", R"({"tok": "x"})", "[]", "\"abc\"", "", "<html>",
                             R"({"token": "x"} trailing)"}) {
        try {
            ReadTokenAnswer(LBad);
            ADD_FAILURE() << "accepted: " << LBad;
        } catch (const TProtocolError& E) {
            EXPECT_STREQ(E.what(), "failed to retrieve api token") << LBad;
        }
    }
}

// AOpen repeated ADepth times, then ATail.
std::string Nested(const std::string& AOpen, std::size_t ADepth, const std::string& ATail = "") {
    std::string Result;
    Result.reserve(AOpen.size() * ADepth + ATail.size());
    for (std::size_t I = 0; I < ADepth; ++I) {
        Result += AOpen;
    }
    return Result + ATail;
}

TEST(ParseAnswer, NestingDepth) {
    const std::size_t KBomb = 2000000;
    struct TCase {
        const char* Name;
        std::string Bytes;
        bool IsDocument;
    };
    const TCase KCases[] = {
        {"arrays at the limit", Nested("[", KMaxAnswerDepth, Nested("]", KMaxAnswerDepth)), true},
        {"arrays one deeper", Nested("[", KMaxAnswerDepth + 1, Nested("]", KMaxAnswerDepth + 1)),
         false},
        {"objects at the limit",
         Nested("{\"a\":", KMaxAnswerDepth - 1, "{}" + Nested("}", KMaxAnswerDepth - 1)), true},
        {"objects one deeper",
         Nested("{\"a\":", KMaxAnswerDepth, "{}" + Nested("}", KMaxAnswerDepth)), false},
        {"brackets inside a string do not nest", "{\"n\":\"" + Nested("[{", KBomb) + "\"}", true},
        {"well-formed but deep", Nested("[", KBomb, Nested("]", KBomb)), false},
        {"token answer bomb", "{\"token\":\"t\",\"x\":" + Nested("[", KBomb), false},
        {"object bomb", Nested("{\"a\":", KBomb), false},
        {"bomb behind a byte-order mark", "\xEF\xBB\xBF" + Nested("[", KBomb), false},
    };
    for (const auto& C : KCases) {
        const auto LDocument = ParseAnswer(C.Bytes);
        EXPECT_EQ(LDocument != nullptr, C.IsDocument) << C.Name;
    }
}

TEST(ReadTokenAnswer, NestingBombIsNoToken) {
    // The token itself comes first; the answer still is not a usable document.
    const std::string LBomb = "{\"token\":\"t\",\"x\":" + Nested("[", 2000000);
    try {
        ReadTokenAnswer(LBomb);
        ADD_FAILURE() << "a nesting bomb yielded a token";
    } catch (const TProtocolError& E) {
        EXPECT_STREQ(E.what(), "failed to retrieve api token");
    }
    const std::string LDeepButClosed =
        "{\"token\":\"t\",\"x\":" +
        Nested("[", KMaxAnswerDepth - 1, Nested("]", KMaxAnswerDepth - 1)) + "}";
    EXPECT_EQ(ReadTokenAnswer(LDeepButClosed), "t");
}

TEST(PackageEndpoint, Cases) {
    const std::pair<const char*, std::string> KCases[] = {
        {R"({"url": "https://cdn.test/p/", "file": "a.zip", "base_url": "x/"})",
         "https://cdn.test/p/a.zip"},
        {R"({"url": "http://cdn.test/", "file": "a.zip"})", "http://cdn.test/a.zip"},
        {R"({"url": "file/", "file": "a.zip", "base_url": "https://b.test/"})", "file/a.zip"},
        {R"({"url": "pkg/", "file": "a.zip", "base_url": "https://b.test/"})",
         "https://b.test/pkg/a.zip"},
        {R"({"url": "pkg/", "file": "latest", "base_url": "", "base_url": "ignored"})",
         "pkg/latest"},
        {R"({"file": "a.zip"})", "a.zip"},
    };
    for (const auto& [LJson, LExpected] : KCases) {
        const auto LDocument = ParseAnswer(LJson);
        ASSERT_TRUE(LDocument) << LJson;
        EXPECT_EQ(PackageEndpoint(*LDocument), LExpected) << LJson;
    }
}

// UTF-16LE bytes with their byte-order mark.
std::string Utf16Le(const std::u16string& AText) {
    std::string Result = "\xFF\xFE";
    for (const char16_t C : AText) {
        Result += static_cast<char>(C & 0xFF);
        Result += static_cast<char>(C >> 8);
    }
    return Result;
}

TEST(ParseAnswer, OneValueWithEncodings) {
    struct TCase {
        const char* Name;
        std::string Bytes;
        bool IsDocument;
        std::string NameValue; // member "n" when the document is an object
    };
    const TCase KCases[] = {
        {"plain object", R"({"n":"x"})", true, "x"},
        {"white space around", " \r\n\t{\"n\":\"x\"}\n ", true, "x"},
        {"utf-8 bom", "\xEF\xBB\xBF{\"n\":\"\xC3\xA9\"}", true, "\xC3\xA9"},
        {"utf-16le bom", std::string("\xFF\xFE{\0\"\0n\0\"\0:\0\"\0\xE9\0\"\0}\0", 20), true,
         "\xC3\xA9"},
        {"utf-16be bom", std::string("\xFE\xFF\0{\0\"\0n\0\"\0:\0\"\0\xE9\0\"\0}", 20), true,
         "\xC3\xA9"},
        {"utf-16le surrogate pair", Utf16Le(u"{\"n\":\"\U0001F600\"}"), true, "\xF0\x9F\x98\x80"},
        {"utf-16le lone surrogate", Utf16Le(u"{\"n\":\"\xD800x\"}"), true, "\xEF\xBF\xBDx"},
        {"latin-1 fallback", "{\"n\":\"caf\xE9\"}", true, "caf\xC3\xA9"},
        {"array is a value", "[1,2]", true, ""},
        {"empty", "", false, ""},
        {"only spaces", "   ", false, ""},
        {"html", "<html></html>", false, ""},
        {"two values", "{} {}", false, ""},
        {"trailing garbage", "{\"n\":1}x", false, ""},
        {"truncated", "{\"n\":", false, ""},
        {"nul after value", std::string("{}\0{}", 5), false, ""},
        {"number beyond double range", "{\"n\":1e400}", false, ""},
    };
    for (const auto& C : KCases) {
        const auto LDocument = ParseAnswer(C.Bytes);
        EXPECT_EQ(LDocument != nullptr, C.IsDocument) << C.Name;
        if (LDocument && LDocument->IsObject()) {
            EXPECT_EQ(ReadMemberTextOrEmpty(*LDocument, "n"), C.NameValue) << C.Name;
        }
    }
}

} // namespace
