#pragma once

#include <rapidjson/document.h>

#include <functional>
#include <string>

namespace orvane {

// One entry of the configuration document as the Versions page lists it.
struct TListedEntry {
    rapidjson::Value* Entry = nullptr; // inside the document, "base_url" appended
    std::string Caption;               // "name", or "name (vfile version)"
    bool Enabled = true;               // false when "file" is present but empty
    // Offered by the configuration, but the bundle it was read from lacks its
    // package: asked for, it fails naming the bundle.
    bool MissingFromBundle = false;
};

struct TListCounts {
    int Available = 0; // listed entries with a non-empty "file"
    int Listed = 0;
};

// Most entries a configuration may list: a vendor offers a few dozen, and the
// list on the Versions page is filled in one go.
inline constexpr std::size_t KMaxListedEntries = 2000;

// Walks the "ide" array of a configuration document in order, appends the
// top-level "url" to every entry with a "name" as its "base_url" and hands each
// such entry to AAdd. Throws std::runtime_error when the document is not an
// object, "ide" is not an array or one of its elements is not an object; the
// entries handed over before the fault stay handed over. An "ide" array longer
// than KMaxListedEntries throws TAnswerLimitError before any entry is handed
// over. Captions are cut to KShownValueBytes.
TListCounts ListConfigurationEntries(rapidjson::Document& ADocument,
                                     const std::function<void(const TListedEntry&)>& AAdd);

} // namespace orvane
