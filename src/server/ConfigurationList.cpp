#include "server/ConfigurationList.h"

#include "platform/Text.h"
#include "server/Protocol.h"

#include <stdexcept>

namespace orvane {

TListCounts ListConfigurationEntries(rapidjson::Document& ADocument,
                                     const std::function<void(const TListedEntry&)>& AAdd) {
    if (!ADocument.IsObject()) {
        throw std::runtime_error("configuration is not a JSON object");
    }
    TListCounts Result;
    const std::string LBase = ReadMemberTextOrEmpty(ADocument, "url");
    if (!ADocument.HasMember("ide")) {
        return Result;
    }
    // The first member of a name counts.
    rapidjson::Value& LIde = ADocument["ide"];
    if (!LIde.IsArray()) {
        throw std::runtime_error("\"ide\" is not an array");
    }
    if (LIde.Size() > KMaxListedEntries) {
        throw TAnswerLimitError("The configuration lists " + std::to_string(LIde.Size()) +
                                " entries, more than the installer shows (at most " +
                                std::to_string(KMaxListedEntries) + ")");
    }
    auto& LAllocator = ADocument.GetAllocator();
    for (rapidjson::Value& LEntry : LIde.GetArray()) {
        if (!LEntry.IsObject()) {
            throw std::runtime_error("an entry of \"ide\" is not an object");
        }
        const auto LName = ReadMemberText(LEntry, "name");
        if (!LName) {
            continue;
        }
        ++Result.Listed;
        // Appended even when the server sent one: the first of a name counts.
        LEntry.AddMember("base_url", rapidjson::Value(LBase, LAllocator), LAllocator);

        const auto LFile = ReadMemberText(LEntry, "file");
        std::string LVersion;
        if (const auto LFileVersion = ReadMemberText(LEntry, "file_version")) {
            LVersion = *LFileVersion;
        } else if (LFile && !LFile->empty()) {
            LVersion = FileVersionFromFile(*LFile);
        }
        TListedEntry LListed;
        LListed.Entry = &LEntry;
        LListed.Caption = ShortenedText(LVersion.empty() ? *LName : *LName + " (v" + LVersion + ")",
                                        KShownValueBytes);
        if (LFile) {
            if (!LFile->empty()) {
                ++Result.Available;
            } else {
                LListed.Enabled = false;
            }
        }
        AAdd(LListed);
    }
    return Result;
}

} // namespace orvane
