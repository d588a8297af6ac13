#include "platform/HeldFile.h"

#include "platform/Text.h"

#include <stdexcept>

namespace orvane {

std::string ReadHeldFile(const std::string& APath, std::size_t AMaxBytes) {
    const THeldFile LFile(APath);
    if (LFile.Size() > AMaxBytes) {
        throw std::runtime_error("\"" + APath + "\" is larger than " + FormatByteSize(AMaxBytes));
    }
    std::string LText(static_cast<std::size_t>(LFile.Size()), '\0');
    std::size_t LAt = 0;
    while (LAt < LText.size()) {
        const std::size_t LRead = LFile.ReadAt(LAt, LText.data() + LAt, LText.size() - LAt);
        if (LRead == 0) {
            break;
        }
        LAt += LRead;
    }
    LText.resize(LAt);
    return LText;
}

} // namespace orvane
