#pragma once

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Environment variables changed for one scope and restored after it.
class TScopedEnv {
public:
    TScopedEnv() = default;
    TScopedEnv(const TScopedEnv&) = delete;
    TScopedEnv& operator=(const TScopedEnv&) = delete;
    ~TScopedEnv() {
        for (auto It = FSaved.rbegin(); It != FSaved.rend(); ++It) {
            if (It->second) {
                setenv(It->first.c_str(), It->second->c_str(), 1);
            } else {
                unsetenv(It->first.c_str());
            }
        }
    }

    void Set(const std::string& AName, const std::string& AValue) {
        Save(AName);
        setenv(AName.c_str(), AValue.c_str(), 1);
    }
    void Unset(const std::string& AName) {
        Save(AName);
        unsetenv(AName.c_str());
    }

private:
    void Save(const std::string& AName) {
        const char* LValue = std::getenv(AName.c_str());
        FSaved.emplace_back(AName, LValue ? std::optional<std::string>(LValue) : std::nullopt);
    }

    std::vector<std::pair<std::string, std::optional<std::string>>> FSaved;
};
