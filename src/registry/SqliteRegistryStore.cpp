#include "registry/RegFile.h"
#include "registry/RegText.h"
#include "registry/RegistryStore.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

namespace orvane {

namespace {

// "ORVR": marks a file as this store, so a foreign SQLite file is refused
// instead of being written into.
constexpr int kApplicationId = 0x4F525652;
constexpr int kSchemaVersion = 1;
constexpr int kBusyTimeoutMs = 10000;
constexpr std::int64_t kRootId = 1;

std::vector<std::string> SplitKey(const std::string& AKey, bool& AValid) {
    std::vector<std::string> parts;
    AValid = true;
    if (AKey.empty()) {
        return parts;
    }
    std::size_t start = 0;
    while (true) {
        const std::size_t end = AKey.find('\\', start);
        std::string part = AKey.substr(start, end == std::string::npos ? end : end - start);
        if (part.empty()) {
            AValid = false;
        }
        parts.push_back(std::move(part));
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return parts;
}

class TSqliteRegistryStore;

class TStatement {
public:
    TStatement(TSqliteRegistryStore& AStore, const char* ASql);
    ~TStatement() { sqlite3_finalize(FStmt); }
    TStatement(const TStatement&) = delete;
    TStatement& operator=(const TStatement&) = delete;

    TStatement& Bind(int AIndex, std::int64_t AValue);
    TStatement& Bind(int AIndex, const std::string& AValue);
    TStatement& BindBlob(int AIndex, const std::vector<std::uint8_t>& AValue);
    // True while a row is available.
    bool Step();
    std::int64_t Int(int AColumn) { return sqlite3_column_int64(FStmt, AColumn); }
    std::string Text(int AColumn) {
        const auto* text = sqlite3_column_text(FStmt, AColumn);
        return text ? std::string(reinterpret_cast<const char*>(text),
                                  static_cast<std::size_t>(sqlite3_column_bytes(FStmt, AColumn)))
                    : std::string();
    }
    std::vector<std::uint8_t> Blob(int AColumn) {
        const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(FStmt, AColumn));
        const int size = sqlite3_column_bytes(FStmt, AColumn);
        return data ? std::vector<std::uint8_t>(data, data + size) : std::vector<std::uint8_t>();
    }

private:
    void Check(int ARc);
    TSqliteRegistryStore& FStore;
    sqlite3_stmt* FStmt = nullptr;
};

class TSqliteRegistryStore final : public TRegistryStore {
public:
    explicit TSqliteRegistryStore(std::filesystem::path AFile) : FFile(std::move(AFile)) {
        // A store opened read-only would get its -wal and -shm files made
        // with its read-only mode, and stay unwritable after it is writable
        // again: refused before SQLite touches anything (it reads lazily).
        for (const char* suffix : {"-wal", "-shm"}) {
            const std::string side = FFile.string() + suffix;
            if (::faccessat(AT_FDCWD, side.c_str(), F_OK, AT_EACCESS) == 0 &&
                ::faccessat(AT_FDCWD, side.c_str(), R_OK | W_OK, AT_EACCESS) != 0) {
                throw ERegistryStoreError(
                    Describe("\"" + side + "\" cannot be written: " + std::strerror(errno)));
            }
        }
        const int rc = sqlite3_open_v2(FFile.string().c_str(), &FDb,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
        if (rc != SQLITE_OK) {
            const std::string text = FDb ? sqlite3_errmsg(FDb) : sqlite3_errstr(rc);
            sqlite3_close(FDb);
            FDb = nullptr;
            throw ERegistryStoreError(Describe(text));
        }
        if (sqlite3_db_readonly(FDb, "main") == 1) {
            sqlite3_close(FDb);
            FDb = nullptr;
            throw ERegistryStoreError(Describe("the file cannot be written"));
        }
        try {
            sqlite3_extended_result_codes(FDb, 1);
            sqlite3_busy_timeout(FDb, kBusyTimeoutMs);
            Exec("PRAGMA foreign_keys = ON");
            // WAL: one sync per committed write instead of several, and
            // readers never wait for a writer. FULL keeps each commit durable.
            Exec("PRAGMA journal_mode = WAL");
            Exec("PRAGMA synchronous = FULL");
            Initialise();
        } catch (...) {
            sqlite3_close(FDb);
            FDb = nullptr;
            throw;
        }
    }

    ~TSqliteRegistryStore() override { sqlite3_close(FDb); }

    bool KeyExists(const std::string& AKey) override {
        TReadTransaction txn(*this);
        return FindKey(AKey).has_value();
    }

    // Keys carry no rights of their own here, and a store file that cannot be
    // written does not open at all (the first write transaction refuses it).
    bool CanWriteKey(const std::string& AKey) override { return KeyExists(AKey); }

    bool CreateKey(const std::string& AKey) override {
        bool valid = false;
        const auto parts = SplitKey(AKey, valid);
        if (!valid) {
            FLastError = "invalid key name";
            return false;
        }
        TWriteTransaction txn(*this);
        std::int64_t id = kRootId;
        for (const auto& part : parts) {
            TStatement find(*this, "SELECT id FROM keys WHERE parent = ?1 AND fold = ?2");
            find.Bind(1, id).Bind(2, FoldName(part));
            if (find.Step()) {
                id = find.Int(0);
                continue;
            }
            TStatement insert(*this, "INSERT INTO keys(parent, name, fold) VALUES(?1, ?2, ?3)");
            insert.Bind(1, id).Bind(2, part).Bind(3, FoldName(part));
            insert.Step();
            id = sqlite3_last_insert_rowid(FDb);
        }
        txn.Commit();
        return true;
    }

    std::vector<std::string> SubKeyNames(const std::string& AKey) override {
        return ListNames(AKey, "SELECT name FROM keys WHERE parent = ?1 ORDER BY fold");
    }

    std::vector<std::string> ValueNames(const std::string& AKey) override {
        return ListNames(AKey, "SELECT name FROM vals WHERE key = ?1 ORDER BY id");
    }

    std::optional<TRegValue> GetValue(const std::string& AKey, const std::string& AName) override {
        TReadTransaction txn(*this);
        const auto id = FindKey(AKey);
        if (!id) {
            return std::nullopt;
        }
        TStatement get(*this, "SELECT name, type, data FROM vals WHERE key = ?1 AND fold = ?2");
        get.Bind(1, *id).Bind(2, FoldName(AName));
        if (!get.Step()) {
            return std::nullopt;
        }
        TRegValue value;
        value.Name = get.Text(0);
        value.Type = static_cast<TRegValueType>(get.Int(1));
        value.Data = get.Blob(2);
        return value;
    }

    bool SetValue(const std::string& AKey, const TRegValue& AValue) override {
        TWriteTransaction txn(*this);
        const auto id = FindKey(AKey);
        if (!id) {
            FLastError = "the key does not exist";
            return false;
        }
        // Replacing keeps the value's place in the enumeration, and its name's case.
        TStatement update(*this,
                          "UPDATE vals SET type = ?3, data = ?4 WHERE key = ?1 AND fold = ?2");
        update.Bind(1, *id).Bind(2, FoldName(AValue.Name)).Bind(3, std::int64_t(AValue.Type));
        update.BindBlob(4, AValue.Data);
        update.Step();
        if (sqlite3_changes(FDb) == 0) {
            TStatement insert(*this, "INSERT INTO vals(key, name, fold, type, data) "
                                     "VALUES(?1, ?2, ?3, ?4, ?5)");
            insert.Bind(1, *id).Bind(2, AValue.Name).Bind(3, FoldName(AValue.Name));
            insert.Bind(4, std::int64_t(AValue.Type)).BindBlob(5, AValue.Data);
            insert.Step();
        }
        txn.Commit();
        return true;
    }

    bool DeleteValue(const std::string& AKey, const std::string& AName) override {
        TWriteTransaction txn(*this);
        const auto id = FindKey(AKey);
        if (!id) {
            return false;
        }
        TStatement del(*this, "DELETE FROM vals WHERE key = ?1 AND fold = ?2");
        del.Bind(1, *id).Bind(2, FoldName(AName));
        del.Step();
        const bool deleted = sqlite3_changes(FDb) > 0;
        txn.Commit();
        return deleted;
    }

    bool DeleteKey(const std::string& AKey) override {
        TWriteTransaction txn(*this);
        const auto id = FindKey(AKey);
        if (!id || *id == kRootId) {
            return false;
        }
        // Foreign keys cascade to every key and value below.
        TStatement del(*this, "DELETE FROM keys WHERE id = ?1");
        del.Bind(1, *id);
        del.Step();
        txn.Commit();
        return true;
    }

    std::filesystem::path DataFolder() const override { return FFile.parent_path(); }

    bool SaveKey(const std::string& AKey, const std::filesystem::path& AFile) override {
        FLastError.clear();
        std::string text;
        try {
            if (!KeyExists(AKey)) {
                FLastError = "the key does not exist";
                return false;
            }
            text = ExportRegText(*this, AKey);
        } catch (const std::exception& e) {
            FLastError = e.what();
            return false;
        }
        return WriteNewRegFile(AFile, text, FLastError);
    }

    std::string LastErrorText() const override { return FLastError; }

    [[noreturn]] void Fail(const std::string& AText) { throw ERegistryStoreError(Describe(AText)); }

    sqlite3* Db() { return FDb; }

private:
    // Names below AKey in the order the query gives (sub-keys: case-insensitive
    // name order; values: creation order); none when the key is missing.
    std::vector<std::string> ListNames(const std::string& AKey, const char* AQuery) {
        std::vector<std::string> names;
        TReadTransaction txn(*this);
        const auto id = FindKey(AKey);
        if (!id) {
            return names;
        }
        TStatement list(*this, AQuery);
        list.Bind(1, *id);
        while (list.Step()) {
            names.push_back(list.Text(0));
        }
        return names;
    }

    class TReadTransaction {
    public:
        explicit TReadTransaction(TSqliteRegistryStore& AStore) : FStore(AStore) {
            FStore.Exec("BEGIN");
        }
        ~TReadTransaction() { sqlite3_exec(FStore.FDb, "COMMIT", nullptr, nullptr, nullptr); }

    private:
        TSqliteRegistryStore& FStore;
    };

    // BEGIN IMMEDIATE takes the write lock at once, so two installers queue on
    // the busy timeout instead of failing halfway through a write.
    class TWriteTransaction {
    public:
        explicit TWriteTransaction(TSqliteRegistryStore& AStore) : FStore(AStore) {
            FStore.Exec("BEGIN IMMEDIATE");
        }
        ~TWriteTransaction() {
            if (!FDone) {
                sqlite3_exec(FStore.FDb, "ROLLBACK", nullptr, nullptr, nullptr);
            }
        }
        void Commit() {
            FStore.Exec("COMMIT");
            FDone = true;
        }

    private:
        TSqliteRegistryStore& FStore;
        bool FDone = false;
    };

    std::string Describe(const std::string& AText) const {
        return "Registry store \"" + FFile.string() + "\": " + AText;
    }

    void Exec(const char* ASql) {
        char* error = nullptr;
        if (sqlite3_exec(FDb, ASql, nullptr, nullptr, &error) != SQLITE_OK) {
            const std::string text = error ? error : sqlite3_errmsg(FDb);
            sqlite3_free(error);
            Fail(text);
        }
    }

    std::int64_t PragmaInt(const char* ASql) {
        TStatement pragma(*this, ASql);
        return pragma.Step() ? pragma.Int(0) : 0;
    }

    void Initialise() {
        // A store made before is only read here: reading commands never take
        // the write lock, so they never wait for an installer at work.
        {
            TReadTransaction read(*this);
            if (PragmaInt("PRAGMA application_id") == kApplicationId) {
                const auto version = PragmaInt("PRAGMA user_version");
                if (version != kSchemaVersion) {
                    Fail("unsupported store version " + std::to_string(version));
                }
                return;
            }
        }
        TWriteTransaction txn(*this);
        const auto appId = PragmaInt("PRAGMA application_id");
        if (appId == kApplicationId) {
            const auto version = PragmaInt("PRAGMA user_version");
            if (version != kSchemaVersion) {
                Fail("unsupported store version " + std::to_string(version));
            }
            return;
        }
        if (appId != 0 || PragmaInt("SELECT count(*) FROM sqlite_master") != 0) {
            Fail("not a registry store");
        }
        Exec("CREATE TABLE keys("
             " id INTEGER PRIMARY KEY,"
             " parent INTEGER REFERENCES keys(id) ON DELETE CASCADE,"
             " name TEXT NOT NULL,"
             " fold TEXT NOT NULL,"
             " UNIQUE(parent, fold))");
        Exec("CREATE TABLE vals("
             " id INTEGER PRIMARY KEY AUTOINCREMENT,"
             " key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,"
             " name TEXT NOT NULL,"
             " fold TEXT NOT NULL,"
             " type INTEGER NOT NULL,"
             " data BLOB NOT NULL,"
             " UNIQUE(key, fold))");
        Exec("INSERT INTO keys(id, parent, name, fold) VALUES(1, NULL, '', '')");
        Exec(("PRAGMA application_id = " + std::to_string(kApplicationId)).c_str());
        Exec(("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
        txn.Commit();
    }

    std::optional<std::int64_t> FindKey(const std::string& AKey) {
        bool valid = false;
        const auto parts = SplitKey(AKey, valid);
        if (!valid) {
            return std::nullopt;
        }
        std::int64_t id = kRootId;
        for (const auto& part : parts) {
            TStatement find(*this, "SELECT id FROM keys WHERE parent = ?1 AND fold = ?2");
            find.Bind(1, id).Bind(2, FoldName(part));
            if (!find.Step()) {
                return std::nullopt;
            }
            id = find.Int(0);
        }
        return id;
    }

    std::filesystem::path FFile;
    sqlite3* FDb = nullptr;
    std::string FLastError;
};

TStatement::TStatement(TSqliteRegistryStore& AStore, const char* ASql) : FStore(AStore) {
    Check(sqlite3_prepare_v2(FStore.Db(), ASql, -1, &FStmt, nullptr));
}

void TStatement::Check(int ARc) {
    if (ARc != SQLITE_OK) {
        FStore.Fail(sqlite3_errmsg(FStore.Db()));
    }
}

TStatement& TStatement::Bind(int AIndex, std::int64_t AValue) {
    Check(sqlite3_bind_int64(FStmt, AIndex, AValue));
    return *this;
}

TStatement& TStatement::Bind(int AIndex, const std::string& AValue) {
    Check(sqlite3_bind_text(FStmt, AIndex, AValue.data(), static_cast<int>(AValue.size()),
                            SQLITE_TRANSIENT));
    return *this;
}

TStatement& TStatement::BindBlob(int AIndex, const std::vector<std::uint8_t>& AValue) {
    // An empty vector still binds an empty blob, not NULL.
    static const std::uint8_t empty = 0;
    Check(sqlite3_bind_blob(FStmt, AIndex, AValue.empty() ? &empty : AValue.data(),
                            static_cast<int>(AValue.size()), SQLITE_TRANSIENT));
    return *this;
}

bool TStatement::Step() {
    const int rc = sqlite3_step(FStmt);
    if (rc == SQLITE_ROW) {
        return true;
    }
    if (rc == SQLITE_DONE) {
        return false;
    }
    FStore.Fail(sqlite3_errmsg(FStore.Db()));
}

} // namespace

std::shared_ptr<TRegistryStore> OpenSqliteRegistryStore(const std::filesystem::path& AFile) {
    return std::make_shared<TSqliteRegistryStore>(AFile);
}

std::filesystem::path DefaultRegistryStorePath() {
    // A relative XDG_DATA_HOME is invalid and ignored, as the XDG rules say.
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    std::filesystem::path base;
    if (dataHome && *dataHome && std::filesystem::path(dataHome).is_absolute()) {
        base = dataHome;
    } else {
        const char* home = std::getenv("HOME");
        base = std::filesystem::path(home && *home ? home : ".") / ".local" / "share";
    }
    return base / "orvane" / "registry.sqlite";
}

std::shared_ptr<TRegistryStore> OpenDefaultRegistryStore() {
    const auto file = DefaultRegistryStorePath();
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    if (ec) {
        throw ERegistryStoreError("Registry store \"" + file.string() +
                                  "\": cannot create its folder: " + ec.message());
    }
    return OpenSqliteRegistryStore(file);
}

} // namespace orvane
