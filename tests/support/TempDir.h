#pragma once

#include <filesystem>
#include <random>
#include <string>
#include <system_error>

// A fresh, empty folder under the system's temp folder, removed with everything
// in it when the object goes.
class TTempDir {
public:
    TTempDir() {
        std::random_device Random;
        const std::filesystem::path Base = std::filesystem::temp_directory_path();
        for (;;) {
            FPath = Base / ("orvane-test-" + std::to_string(Random()));
            if (std::filesystem::create_directory(FPath))
                break;
        }
    }
    ~TTempDir() {
        std::error_code Ignored;
        std::filesystem::remove_all(FPath, Ignored);
    }
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;

    const std::filesystem::path& Path() const { return FPath; }
    std::filesystem::path operator/(const std::filesystem::path& AName) const {
        return FPath / AName;
    }

private:
    std::filesystem::path FPath;
};
