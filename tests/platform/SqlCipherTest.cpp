// The process's one SQLite is SQLCipher 4, and no second sqlite3 library is linked or loaded.
#include <cstdio>
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "support/TestSupport.hpp"

namespace {

struct Db {
    sqlite3* db = nullptr;
    explicit Db(const std::string& path) { sqlite3_open(path.c_str(), &db); }
    ~Db() { sqlite3_close(db); }
    int exec(const std::string& sql) { return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr); }
    std::string one(const std::string& sql) {
        sqlite3_stmt* st = nullptr;
        std::string out = "<error>";
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW) {
            const unsigned char* t = sqlite3_column_text(st, 0);
            out = t ? reinterpret_cast<const char*>(t) : "";
        }
        sqlite3_finalize(st);
        return out;
    }
};

std::string commandOutput(const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

}  // namespace

TEST(SqlCipher, IsTheLinkedSqliteWithItsDefaultsAsRekordboxUsesThem) {
    EXPECT_STREQ(sqlite3_libversion(), "3.42.0");
    EXPECT_TRUE(sqlite3_compileoption_used("HAS_CODEC"));
    Db db(":memory:");
    EXPECT_EQ(db.one("PRAGMA cipher_version"), "4.5.5 community");
    ASSERT_EQ(sqlite3_key(db.db, "k", 1), SQLITE_OK);  // the provider shows once a key is set
    EXPECT_EQ(db.one("PRAGMA cipher_provider"), "openssl");
    // rekordbox 6/7 databases use the SQLCipher 4 defaults: 4096-byte pages, 256,000 iterations, SHA512.
    EXPECT_EQ(db.one("PRAGMA cipher_default_kdf_iter"), "256000");
    EXPECT_EQ(db.one("PRAGMA cipher_default_page_size"), "4096");
    EXPECT_EQ(db.one("PRAGMA cipher_default_hmac_algorithm"), "HMAC_SHA512");
    EXPECT_EQ(db.one("PRAGMA cipher_default_kdf_algorithm"), "PBKDF2_HMAC_SHA512");
}

TEST(SqlCipher, EncryptedFileOpensOnlyWithItsKeyAndPlainFilesNeedNone) {
    fv::test::TempDir dir;
    const std::string enc = (dir / "enc.db").string(), plain = (dir / "plain.db").string();
    {
        Db db(enc);
        ASSERT_EQ(sqlite3_key(db.db, "test-key", 8), SQLITE_OK);
        ASSERT_EQ(db.exec("CREATE TABLE t(v TEXT); INSERT INTO t VALUES('geheim')"), SQLITE_OK);
    }
    {
        // Nothing of the content is readable on disk.
        std::ifstream f(enc, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(f)), {});
        EXPECT_EQ(bytes.find("geheim"), std::string::npos);
        EXPECT_EQ(bytes.find("SQLite format 3"), std::string::npos);
    }
    {
        Db db(enc);
        EXPECT_EQ(db.exec("SELECT count(*) FROM t"), SQLITE_NOTADB);
    }
    {
        Db db(enc);
        sqlite3_key(db.db, "wrong", 5);
        EXPECT_EQ(db.exec("SELECT count(*) FROM t"), SQLITE_NOTADB);
    }
    {
        Db db(enc);
        sqlite3_key(db.db, "test-key", 8);
        EXPECT_EQ(db.one("SELECT v FROM t"), "geheim");
    }
    {
        Db db(plain);
        ASSERT_EQ(db.exec("CREATE TABLE t(v); INSERT INTO t VALUES(1)"), SQLITE_OK);
    }
    std::ifstream f(plain, std::ios::binary);
    std::string head(15, '\0');
    f.read(head.data(), 15);
    EXPECT_EQ(head, "SQLite format 3");
}

TEST(SqlCipher, NoSecondSqliteLibraryInTheProgramOrThisProcess) {
    const std::string deps = commandOutput(std::string("ldd ") + FLOORVOTE_BINARY);
    ASSERT_NE(deps.find("libc.so"), std::string::npos) << deps;
    EXPECT_EQ(deps.find("libsqlite3"), std::string::npos) << deps;
    EXPECT_EQ(deps.find("libsqlcipher"), std::string::npos) << deps;
    // The program carries the one copy itself.
    const std::string syms = commandOutput(std::string("nm --defined-only ") + FLOORVOTE_BINARY + " | grep -c ' T sqlite3_open_v2$'");
    EXPECT_EQ(syms, "1\n");
    std::ifstream maps("/proc/self/maps");
    std::string all((std::istreambuf_iterator<char>(maps)), {});
    EXPECT_EQ(all.find("libsqlite3"), std::string::npos);
}
