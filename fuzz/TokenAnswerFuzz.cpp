// The token answer: whatever the server sends, ReadTokenAnswer gives a token or
// "failed to retrieve api token", and a document ParseAnswer accepts is shallow.
#include "FuzzSupport.h"

#include "server/Protocol.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// Nesting of a parsed value, counted with an explicit stack so a deep value
// could not overflow this check either.
unsigned Depth(const rapidjson::Value& AValue) {
    struct TItem {
        const rapidjson::Value* Value;
        unsigned Depth;
    };
    std::vector<TItem> LStack{{&AValue, 1}};
    unsigned Result = 0;
    while (!LStack.empty()) {
        const TItem LItem = LStack.back();
        LStack.pop_back();
        if (LItem.Value->IsArray()) {
            Result = std::max(Result, LItem.Depth);
            for (const auto& LChild : LItem.Value->GetArray()) {
                LStack.push_back({&LChild, LItem.Depth + 1});
            }
        } else if (LItem.Value->IsObject()) {
            Result = std::max(Result, LItem.Depth);
            for (const auto& LMember : LItem.Value->GetObject()) {
                LStack.push_back({&LMember.value, LItem.Depth + 1});
            }
        }
    }
    return Result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
    const std::string LBytes(reinterpret_cast<const char*>(AData), ASize);
    if (const auto LDocument = orvane::ParseAnswer(LBytes)) {
        if (Depth(*LDocument) > orvane::KMaxAnswerDepth) {
            orvane::fuzz::Violated("a parsed answer nests deeper than the limit");
        }
    }
    try {
        const std::string LToken = orvane::ReadTokenAnswer(LBytes);
        // The token goes into a URL; it must come out as one query value.
        const std::string LUrl = orvane::RequestUrl("/cfg/?mode=dev", "https://api.test", LToken);
        if (LUrl.find_first_of("&#? ", std::strlen("https://api.test/cfg/?mode=dev&token=")) !=
            std::string::npos) {
            orvane::fuzz::Violated("the token escapes its query value");
        }
    } catch (const orvane::TProtocolError& AError) {
        if (std::strcmp(AError.what(), "failed to retrieve api token") != 0) {
            orvane::fuzz::Violated(std::string("unexpected token failure: ") + AError.what());
        }
    }
    return 0;
}
