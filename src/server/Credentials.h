#pragma once

#include <cstdint>
#include <string>

namespace orvane {

// Edition of the login; the wire words are "dev" and "com".
enum TUserMode : std::uint8_t { imDeveloper = 0, imCommercial = 1 };

struct TCredentials {
    TUserMode Mode = imDeveloper;
    std::string Username; // the e-mail address exactly as typed
    std::string Password; // as typed
    std::string Package;  // "DEVELOPER" or "GAMEPACKAGE"; never sent
};

} // namespace orvane
