#include "server/Protocol.h"

#include "platform/Text.h"
#include "server/Md5.h"
#include "server/Sha256.h"

#include <rapidjson/encodedstream.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace orvane {

namespace {

bool StartsWith(const std::string& AText, const char* APrefix) {
    return AText.rfind(APrefix, 0) == 0;
}

std::string Dequote(const std::string& AText) {
    if (AText.size() < 2 || AText.front() != '"' || AText.back() != '"') {
        return AText;
    }
    std::string Result;
    Result.reserve(AText.size() - 2);
    bool LPrevDropped = false;
    for (std::size_t I = 1; I + 1 < AText.size(); ++I) {
        const char C = AText[I];
        if (C == '"' && !LPrevDropped) {
            LPrevDropped = true;
            continue;
        }
        LPrevDropped = false;
        Result += C;
    }
    return Result;
}

// UTF-16 answer bytes from AStart on, in either byte order.
std::string Utf16ToUtf8(const std::string& ABytes, std::size_t AStart, bool ABigEndian) {
    std::vector<std::uint8_t> LLittle(ABytes.begin() + static_cast<std::ptrdiff_t>(AStart),
                                      ABytes.end());
    if (ABigEndian) {
        for (std::size_t I = 0; I + 1 < LLittle.size(); I += 2) {
            std::swap(LLittle[I], LLittle[I + 1]);
        }
    }
    return FromUtf16Le(LLittle, false);
}

// Passes the parser's events on to a document and stops the parse as soon as
// arrays and objects nest deeper than KMaxAnswerDepth.
class TDepthLimitedHandler {
public:
    using Ch = char;

    explicit TDepthLimitedHandler(rapidjson::Document& ADocument) : FDocument(ADocument) {}

    bool Null() { return FDocument.Null(); }
    bool Bool(bool AValue) { return FDocument.Bool(AValue); }
    bool Int(int AValue) { return FDocument.Int(AValue); }
    bool Uint(unsigned AValue) { return FDocument.Uint(AValue); }
    bool Int64(std::int64_t AValue) { return FDocument.Int64(AValue); }
    bool Uint64(std::uint64_t AValue) { return FDocument.Uint64(AValue); }
    bool Double(double AValue) { return FDocument.Double(AValue); }
    bool RawNumber(const Ch* AText, rapidjson::SizeType ALength, bool ACopy) {
        return FDocument.RawNumber(AText, ALength, ACopy);
    }
    bool String(const Ch* AText, rapidjson::SizeType ALength, bool ACopy) {
        return FDocument.String(AText, ALength, ACopy);
    }
    bool Key(const Ch* AText, rapidjson::SizeType ALength, bool ACopy) {
        return FDocument.Key(AText, ALength, ACopy);
    }
    bool StartObject() { return Enter() && FDocument.StartObject(); }
    bool EndObject(rapidjson::SizeType ACount) {
        --FDepth;
        return FDocument.EndObject(ACount);
    }
    bool StartArray() { return Enter() && FDocument.StartArray(); }
    bool EndArray(rapidjson::SizeType ACount) {
        --FDepth;
        return FDocument.EndArray(ACount);
    }

private:
    bool Enter() { return ++FDepth <= KMaxAnswerDepth; }

    rapidjson::Document& FDocument;
    unsigned FDepth = 0;
};

} // namespace

std::optional<std::string> ReadMemberText(const rapidjson::Value& AObject, const char* AName) {
    if (!AObject.IsObject()) {
        return std::nullopt;
    }
    const auto LMember = AObject.FindMember(AName);
    if (LMember == AObject.MemberEnd()) {
        return std::nullopt;
    }
    const rapidjson::Value& LValue = LMember->value;
    std::string LText;
    if (LValue.IsString()) {
        LText.assign(LValue.GetString(), LValue.GetStringLength());
    } else if (LValue.IsNumber()) {
        // Only reached for documents parsed without numbers-as-strings.
        rapidjson::StringBuffer LBuffer;
        rapidjson::Writer<rapidjson::StringBuffer> LWriter(LBuffer);
        LValue.Accept(LWriter);
        LText = LBuffer.GetString();
    } else {
        return std::nullopt;
    }
    return TrimControl(Dequote(LText));
}

std::string ReadMemberTextOrEmpty(const rapidjson::Value& AObject, const char* AName) {
    return ReadMemberText(AObject, AName).value_or(std::string());
}

std::string MD5Text(const std::string& AText) {
    const auto LDigest = Md5Digest(AText);
    return HexText(LDigest.data(), LDigest.size());
}

std::string FileVersionFromFile(const std::string& AFile) {
    const auto LPos = AFile.rfind('_');
    std::string LPiece = LPos == std::string::npos ? AFile : AFile.substr(LPos + 1);
    for (auto LAt = LPiece.find(".zip"); LAt != std::string::npos; LAt = LPiece.find(".zip")) {
        LPiece.erase(LAt, 4);
    }
    return LPiece;
}

std::string PercentEncodeQueryValue(const std::string& AValue) {
    static const char KHex[] = "0123456789ABCDEF";
    std::string Result;
    Result.reserve(AValue.size());
    for (const char C : AValue) {
        const auto U = static_cast<unsigned char>(C);
        if ((U >= 'A' && U <= 'Z') || (U >= 'a' && U <= 'z') || (U >= '0' && U <= '9') ||
            U == '-' || U == '.' || U == '_' || U == '~') {
            Result += C;
        } else {
            Result += '%';
            Result += KHex[U >> 4];
            Result += KHex[U & 0x0F];
        }
    }
    return Result;
}

std::string EditionWord(TUserMode AMode, const char* AInvalidText) {
    switch (AMode) {
    case imDeveloper:
        return "dev";
    case imCommercial:
        return "com";
    }
    throw TProtocolError(AInvalidText);
}

bool IsAbsoluteEndpoint(const std::string& AEndPoint) {
    return StartsWith(AEndPoint, "https://") || StartsWith(AEndPoint, "http://");
}

std::string RequestUrl(const std::string& AEndPoint, const std::string& ABaseUrl,
                       const std::string& AToken) {
    if (IsAbsoluteEndpoint(AEndPoint)) {
        return AEndPoint;
    }
    std::string LUrl = ABaseUrl;
    if (!(!ABaseUrl.empty() && ABaseUrl.back() == '/') && !StartsWith(AEndPoint, "/")) {
        LUrl += '/';
    }
    LUrl += AEndPoint;
    LUrl += LUrl.find('?') != std::string::npos ? "&token=" : "?token=";
    LUrl += PercentEncodeQueryValue(AToken);
    return LUrl;
}

std::string TokenUrl(const std::string& ABaseUrl, const TCredentials& ACredentials) {
    const std::string LWord = EditionWord(ACredentials.Mode, "invalid api token request");
    if (LWord == "dev") {
        return ABaseUrl + "/token/";
    }
    return ABaseUrl + "/token/?user=" + PercentEncodeQueryValue(ACredentials.Username) +
           "&pwd=" + MD5Text(ACredentials.Password);
}

std::string ReadTokenAnswer(std::string_view ABody) {
    const auto LDocument = ParseAnswer(ABody);
    if (!LDocument || !LDocument->IsObject()) {
        throw TProtocolError("failed to retrieve api token");
    }
    auto LToken = ReadMemberText(*LDocument, "token");
    if (!LToken) {
        throw TProtocolError("failed to retrieve api token");
    }
    return *LToken;
}

std::string ConfigurationEndpoint(TUserMode AMode, const std::string& AMacDigest) {
    const std::string LWord = EditionWord(AMode, "invalid user mode");
    return "/cfg/?mode=" + PercentEncodeQueryValue(LWord) +
           "&mac=" + PercentEncodeQueryValue(AMacDigest);
}

std::string PackageEndpoint(const rapidjson::Value& AEntry) {
    const std::string LUrl = ReadMemberTextOrEmpty(AEntry, "url");
    const std::string LFile = ReadMemberTextOrEmpty(AEntry, "file");
    if (StartsWith(LUrl, "http://") || StartsWith(LUrl, "https://") || StartsWith(LUrl, "file/")) {
        return LUrl + LFile;
    }
    return ReadMemberTextOrEmpty(AEntry, "base_url") + LUrl + LFile;
}

std::string DecodeAnswerText(const std::string& ABytes) {
    auto LHas = [&](std::initializer_list<unsigned char> ABom) {
        if (ABytes.size() < ABom.size()) {
            return false;
        }
        std::size_t I = 0;
        for (const unsigned char B : ABom) {
            if (static_cast<unsigned char>(ABytes[I++]) != B) {
                return false;
            }
        }
        return true;
    };
    if (LHas({0xEF, 0xBB, 0xBF})) {
        return ABytes.substr(3);
    }
    if (LHas({0xFF, 0xFE})) {
        return Utf16ToUtf8(ABytes, 2, false);
    }
    if (LHas({0xFE, 0xFF})) {
        return Utf16ToUtf8(ABytes, 2, true);
    }
    if (IsValidUtf8(ABytes)) {
        return ABytes;
    }
    std::string Result;
    Result.reserve(ABytes.size() * 2);
    for (const char C : ABytes) {
        AppendUtf8(Result, static_cast<unsigned char>(C));
    }
    return Result;
}

std::unique_ptr<rapidjson::Document> ParseAnswer(std::string_view ABytes) {
    // Only answers that need converting are copied.
    std::string LConverted;
    std::string_view LText = ABytes;
    if (LText.starts_with("\xEF\xBB\xBF")) {
        LText.remove_prefix(3);
    }
    if (LText.size() == ABytes.size() &&
        (LText.starts_with("\xFF\xFE") || LText.starts_with("\xFE\xFF") || !IsValidUtf8(LText))) {
        LConverted = DecodeAnswerText(std::string(ABytes));
        LText = LConverted;
    }
    // A raw NUL is never valid JSON, but the parser would take it for the end.
    if (LText.find('\0') != std::string_view::npos) {
        return nullptr;
    }
    auto LDocument = std::make_unique<rapidjson::Document>();
    bool LParsed = false;
    auto LGenerate = [&](rapidjson::Document& ADocument) {
        rapidjson::MemoryStream LBytes(LText.data(), LText.size());
        // The stream Document::Parse reads through (it skips a UTF-8 byte-order mark).
        rapidjson::EncodedInputStream<rapidjson::UTF8<>, rapidjson::MemoryStream> LStream(LBytes);
        TDepthLimitedHandler LHandler(ADocument);
        rapidjson::Reader LReader;
        LParsed = !LReader.Parse<KAnswerParseFlags>(LStream, LHandler).IsError();
        return LParsed;
    };
    LDocument->Populate(LGenerate);
    if (!LParsed) {
        return nullptr;
    }
    return LDocument;
}

} // namespace orvane
