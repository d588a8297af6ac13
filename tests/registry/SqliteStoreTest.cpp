#include "RegistryTestSupport.h"

#include "registry/RegistryStore.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace orvane::test {
namespace {

TEST(SqliteStore, DataSurvivesReopening) {
    TTempDir dir;
    const auto file = dir / "registry.sqlite";
    {
        auto store = OpenSqliteRegistryStore(file);
        ASSERT_TRUE(store->CreateKey("SOFTWARE\\Embarcadero\\BDS\\22.0"));
        ASSERT_TRUE(store->SetValue("SOFTWARE\\Embarcadero\\BDS\\22.0", DwordValue("n", 5)));
    }
    auto store = OpenSqliteRegistryStore(file);
    const auto value = store->GetValue("software\\embarcadero\\bds\\22.0", "N");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->Data, DwordValue("", 5).Data);
}

TEST(SqliteStore, TwoStoresOnOneFileSeeEachOthersWrites) {
    TTempDir dir;
    const auto file = dir / "registry.sqlite";
    auto first = OpenSqliteRegistryStore(file);
    auto second = OpenSqliteRegistryStore(file);
    ASSERT_TRUE(first->CreateKey("Shared"));
    EXPECT_TRUE(second->KeyExists("Shared"));
    ASSERT_TRUE(second->SetValue("Shared", SzValue("from second", "x")));
    EXPECT_TRUE(first->GetValue("Shared", "from second").has_value());
}

TEST(SqliteStore, ConcurrentWritersAllLand) {
    TTempDir dir;
    const auto file = dir / "registry.sqlite";
    OpenSqliteRegistryStore(file)->CreateKey("Busy");
    constexpr int kWriters = 3;
    constexpr int kWrites = 40;
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
        threads.emplace_back([&file, w] {
            // Each writer is its own connection, as a second installer would be.
            auto store = OpenSqliteRegistryStore(file);
            for (int i = 0; i < kWrites; ++i) {
                store->SetValue("Busy",
                                SzValue("w" + std::to_string(w) + "-" + std::to_string(i), "x"));
                store->CreateKey("Busy\\k" + std::to_string(w) + "-" + std::to_string(i));
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    auto store = OpenSqliteRegistryStore(file);
    EXPECT_EQ(store->ValueNames("Busy").size(), std::size_t(kWriters * kWrites));
    EXPECT_EQ(store->SubKeyNames("Busy").size(), std::size_t(kWriters * kWrites));
}

struct TBadStoreCase {
    const char* Name;
    void (*Make)(const std::filesystem::path& AFile);
};

void MakeGarbage(const std::filesystem::path& AFile) {
    WriteFileBytes(AFile, std::string(4096, '\x5A'));
}

void MakeTruncatedStore(const std::filesystem::path& AFile) {
    {
        auto store = OpenSqliteRegistryStore(AFile);
        store->CreateKey("A\\B");
        for (int i = 0; i < 200; ++i) {
            store->SetValue("A\\B", SzValue("v" + std::to_string(i), std::string(100, 'x')));
        }
    }
    const std::string bytes = ReadFileBytes(AFile);
    std::filesystem::remove(AFile);
    WriteFileBytes(AFile, bytes.substr(0, 1500) + std::string(bytes.size() - 1500, '\xEE'));
}

void MakeForeignDatabase(const std::filesystem::path& AFile) {
    // A SQLite file of some other program: a store must not write into it.
    auto store = OpenSqliteRegistryStore(AFile.parent_path() / "source.sqlite");
    (void)store;
    std::string bytes = ReadFileBytes(AFile.parent_path() / "source.sqlite");
    // application_id lives at offset 68 of the header.
    bytes[68] = bytes[69] = bytes[70] = bytes[71] = 0x11;
    WriteFileBytes(AFile, bytes);
}

void MakeDirectory(const std::filesystem::path& AFile) {
    std::filesystem::create_directory(AFile);
}

TEST(SqliteStore, UnusableFileGivesAnErrorNamingIt) {
    const TBadStoreCase cases[] = {
        {"garbage", MakeGarbage},
        {"truncated store", MakeTruncatedStore},
        {"foreign database", MakeForeignDatabase},
        {"directory", MakeDirectory},
    };
    for (const auto& c : cases) {
        TTempDir dir;
        const auto file = dir / "registry.sqlite";
        c.Make(file);
        try {
            auto store = OpenSqliteRegistryStore(file);
            // Some damage only shows when the data is read.
            for (int i = 0; i < 200; ++i) {
                store->GetValue("A\\B", "v" + std::to_string(i));
            }
            store->SubKeyNames("A");
            store->CreateKey("C");
            ADD_FAILURE() << c.Name << ": no error";
        } catch (const ERegistryStoreError& e) {
            EXPECT_NE(std::string(e.what()).find(file.string()), std::string::npos)
                << c.Name << ": " << e.what();
        }
    }
}

// A store file the user may not write is refused, naming it, before SQLite
// makes its -wal and -shm files (which would keep the read-only mode and
// block the store after it is writable again); once writable it works.
// Permissions bind no root: as root the check runs in a child under another
// account.
TEST(SqliteStore, AStoreThatCannotBeWrittenIsRefusedAndLeavesNothingBehind) {
    TTempDir dir;
    std::filesystem::permissions(dir.Path(), std::filesystem::perms::all);
    const auto file = dir / "registry.sqlite";
    const auto check = [&file]() -> std::string {
        OpenSqliteRegistryStore(file)->CreateKey("A");
        std::filesystem::permissions(file, std::filesystem::perms::owner_read |
                                               std::filesystem::perms::group_read |
                                               std::filesystem::perms::others_read);
        try {
            OpenSqliteRegistryStore(file);
            return "a read-only store opened";
        } catch (const ERegistryStoreError& e) {
            if (std::string(e.what()).find(file.string()) == std::string::npos) {
                return std::string("the error names no file: ") + e.what();
            }
        }
        for (const char* suffix : {"-wal", "-shm"}) {
            if (std::filesystem::exists(file.string() + suffix)) {
                return std::string("left ") + suffix;
            }
        }
        std::filesystem::permissions(file, std::filesystem::perms::owner_write,
                                     std::filesystem::perm_options::add);
        auto store = OpenSqliteRegistryStore(file);
        if (!store->KeyExists("A") || !store->CreateKey("B")) {
            return "the store does not work once writable";
        }
        return {};
    };
    if (geteuid() != 0) {
        EXPECT_EQ(check(), "");
        return;
    }
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipeEnds[0]);
        std::string result = "could not leave root";
        if (setgid(65534) == 0 && setuid(65534) == 0) {
            try {
                result = check();
            } catch (const std::exception& e) {
                result = e.what();
            }
        }
        if (write(pipeEnds[1], result.data(), result.size()) < 0) {
            _exit(2);
        }
        _exit(0);
    }
    close(pipeEnds[1]);
    std::string result;
    char buffer[256];
    for (ssize_t got; (got = read(pipeEnds[0], buffer, sizeof buffer)) > 0;) {
        result.append(buffer, static_cast<std::size_t>(got));
    }
    close(pipeEnds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(result, "");
}

TEST(SqliteStore, InvalidKeyPathsAreRefused) {
    TTempStore store;
    for (const char* path : {"A\\\\B", "\\A", "A\\"}) {
        EXPECT_FALSE(store->CreateKey(path)) << path;
        EXPECT_FALSE(store->KeyExists(path)) << path;
    }
    EXPECT_TRUE(store->SubKeyNames("").empty());
}

TEST(SqliteStore, DefaultPathFollowsXdgDataHome) {
    TTempDir dir;
    const std::string home = (dir / "home").string();
    const std::string data = (dir / "data").string();
    struct TCase {
        const char* DataHome; // nullptr: unset
        std::filesystem::path Expected;
    } const cases[] = {
        {data.c_str(), dir / "data" / "orvane" / "registry.sqlite"},
        {"relative/ignored", dir / "home" / ".local" / "share" / "orvane" / "registry.sqlite"},
        {"", dir / "home" / ".local" / "share" / "orvane" / "registry.sqlite"},
        {nullptr, dir / "home" / ".local" / "share" / "orvane" / "registry.sqlite"},
    };
    setenv("HOME", home.c_str(), 1);
    for (const auto& c : cases) {
        if (c.DataHome) {
            setenv("XDG_DATA_HOME", c.DataHome, 1);
        } else {
            unsetenv("XDG_DATA_HOME");
        }
        EXPECT_EQ(DefaultRegistryStorePath(), c.Expected) << (c.DataHome ? c.DataHome : "unset");
    }
    // The default store is created, folders included, on first use.
    setenv("XDG_DATA_HOME", data.c_str(), 1);
    auto store = OpenDefaultRegistryStore();
    ASSERT_TRUE(store->CreateKey("X"));
    EXPECT_TRUE(std::filesystem::exists(dir / "data" / "orvane" / "registry.sqlite"));
}

} // namespace
} // namespace orvane::test
