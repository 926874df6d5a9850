// SQLite wrapper: encryption on disk, guards and their texts, cursors and in-memory tables,
// quoting of table names, the busy timeout, and that nothing stays open after an exception.
#include "onlineutils/SQLite3Wrapper.h"

#include "common/TestFolder.h"

#include "sqlite3.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace {

// The documented key (docs/DATABASE.md): nine characters and their terminating zero, in hex.
const char kDocumentedHexKey[] = "54763723714c70325800";

std::string Utf8(const std::wstring& path) {
    return std::filesystem::path(path).u8string();
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs fn, which must raise a SQLite3WrapperException with exactly that message.
template <class Fn>
void ExpectRaises(Fn fn, const std::string& message) {
    try {
        fn();
        ADD_FAILURE() << "no exception, expected: " << message;
    } catch (const SQLite3WrapperException& e) {
        EXPECT_EQ(e.what(), message);
    }
}

const std::string kWrapper = "SQLITE_WRAPPER_ERROR[1000]: ";

// The raw SQLite result of compiling and stepping sql once on a connection.
int RawStep(sqlite3* db, const char* sql, std::string* firstColumn = nullptr) {
    sqlite3_stmt* statement = nullptr;
    int result = sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
    if (result == SQLITE_OK) {
        result = sqlite3_step(statement);
        if (result == SQLITE_ROW && firstColumn) {
            *firstColumn = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        }
    }
    sqlite3_finalize(statement);
    return result;
}

class SQLite3Wrapper : public ::testing::Test {
protected:
    void SetUp() override {
        db.SetBusyTimeout(200);
        db.Open(path.c_str());
    }
    TalvenTest::TestFolder folder;
    std::string path = Utf8(folder.Child(L"data.db"));
    SQLite3WrapperDB db;
};

TEST(SQLite3WrapperException, CodeNamesAndMessages) {
    const std::pair<int, const char*> names[] = {
        {0, "SQLITE_OK"},      {5, "SQLITE_BUSY"},
        {21, "SQLITE_MISUSE"}, {25, "SQLITE_RANGE"},
        {26, "UNKNOWN_ERROR"}, {-1, "UNKNOWN_ERROR"},
        {99, "UNKNOWN_ERROR"}, {100, "SQLITE_ROW"},
        {101, "SQLITE_DONE"},  {1000, "SQLITE_WRAPPER_ERROR"}};
    for (const auto& [code, name] : names) {
        EXPECT_STREQ(ErrorCodeName(code), name) << code;
    }
    EXPECT_STREQ(SQLite3WrapperException(1000, "Database not open").what(),
                 "SQLITE_WRAPPER_ERROR[1000]: Database not open");
    EXPECT_STREQ(SQLite3WrapperException(5, nullptr).what(), "SQLITE_BUSY[5]: ");
    const SQLite3WrapperException plain("as given %s");
    EXPECT_EQ(plain.Code(), 0);
    EXPECT_STREQ(plain.what(), "as given %s");
    std::unique_ptr<SQLite3WrapperException> copy(SQLite3WrapperException(7, "x").clone());
    EXPECT_EQ(copy->Code(), 7);
    ExpectRaises([&] { copy->raise(); }, "SQLITE_NOMEM[7]: x");
}

TEST(SQLite3WrapperDB, ClosedDatabaseGuards) {
    SQLite3WrapperDB db;
    const std::string notOpen = kWrapper + "Database not open";
    for (int round = 0; round < 2; ++round) {
        ExpectRaises([&] { db.Execute("select 1"); }, notOpen);
        ExpectRaises([&] { db.RunQuery("select 1"); }, notOpen);
        ExpectRaises([&] { db.QueryInteger("select 1"); }, notOpen);
        ExpectRaises([&] { db.SelectWhere("t", "1"); }, notOpen);
        EXPECT_FALSE(db.HasTable("sqlite_master"));
        db.Close();
        db.Close();
    }
    // A failed open raises SQLite's own code and text.
    TalvenTest::TestFolder folder;
    ExpectRaises([&] { db.Open(Utf8(folder.Child(L"missing\\x.db")).c_str()); },
                 "SQLITE_CANTOPEN[14]: unable to open database file");
}

TEST_F(SQLite3Wrapper, EncryptsOnDiskAndReadsBack) {
    const char* marker = "Plaintext-Marker-7f3a9c";
    db.Execute("create table t(v text)");
    EXPECT_EQ(db.Execute("insert into t values('Plaintext-Marker-7f3a9c')"), 1);
    db.Close();
    EXPECT_EQ(ReadBytes(path).find(marker), std::string::npos);

    // The search does find the marker in an unencrypted file.
    const std::string plainPath = Utf8(folder.Child(L"plain.db"));
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(plainPath.c_str(), &raw), SQLITE_OK);
    EXPECT_EQ(RawStep(raw, "create table t(v text)"), SQLITE_DONE);
    EXPECT_EQ(RawStep(raw, "insert into t values('Plaintext-Marker-7f3a9c')"), SQLITE_DONE);
    sqlite3_close(raw);
    EXPECT_NE(ReadBytes(plainPath).find(marker), std::string::npos);

    // Without the key, or with a wrong one, the file is not a database.
    ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
    EXPECT_EQ(RawStep(raw, "select count(*) from t"), SQLITE_NOTADB);
    sqlite3_close(raw);
    ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
    sqlite3_key(raw, "Tv7#qLp2Y", 10);
    EXPECT_EQ(RawStep(raw, "select count(*) from t"), SQLITE_NOTADB);
    sqlite3_close(raw);

    // The documented ways in: the chacha20 cipher with the 10-byte key in hex, or the nine
    // characters as a text key (a trailing zero byte does not change a PBKDF2-HMAC key).
    const std::string uri = "file:" + path + "?cipher=chacha20&hexkey=" + kDocumentedHexKey;
    ASSERT_EQ(sqlite3_open_v2(uri.c_str(), &raw, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr),
              SQLITE_OK);
    std::string value;
    EXPECT_EQ(RawStep(raw, "select v from t", &value), SQLITE_ROW);
    EXPECT_EQ(value, marker);
    sqlite3_close(raw);
    ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
    EXPECT_EQ(RawStep(raw, "pragma key='Tv7#qLp2X'"), SQLITE_ROW);
    EXPECT_EQ(RawStep(raw, "select count(*) from t", &value), SQLITE_ROW);
    EXPECT_EQ(value, "1");
    sqlite3_close(raw);

    db.Open(path.c_str());
    auto query = db.RunQuery("select v from t");
    EXPECT_STREQ(query->ColumnText(0), marker);
}

TEST_F(SQLite3Wrapper, QueryCursor) {
    db.Execute("create table t(k integer, v text)");
    EXPECT_EQ(db.Execute("insert into t values(1, 'one'), (2, null), (3, 'three')"), 3);
    EXPECT_EQ(db.Execute("update t set k = k + 10"), 3);

    auto empty = db.RunQuery("select k from t where k < 0");
    EXPECT_TRUE(empty->AtEnd());
    EXPECT_EQ(empty->ColumnCount(), 1);
    ExpectRaises([&] { db.QueryInteger("select k from t where k < 0"); },
                 kWrapper + "Invalid scalar query");
    ExpectRaises([&] { db.QueryInteger("create table u(a)"); }, kWrapper + "Invalid scalar query");
    EXPECT_EQ(db.QueryInteger("select count(*) from t"), 3);
    EXPECT_EQ(db.QueryInteger("select v from t where k = 12"), 0);
    // An empty statement is a failure, never SQLITE_OK.
    ExpectRaises([&] { db.RunQuery(" "); }, "SQLITE_MISUSE[21]: bad parameter or other API misuse");

    auto query = db.RunQuery("select k, v as value from t order by k");
    EXPECT_EQ(query->ColumnName(0), "k");
    EXPECT_EQ(query->ColumnName(1), "value");
    std::vector<std::string> seen;
    while (!query->AtEnd()) {
        const char* v = query->ColumnText(1);
        seen.push_back(std::string(query->ColumnText(0)) + "=" + (v ? v : "NULL"));
        query->Step();
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"11=one", "12=NULL", "13=three"}));
    // At the end: the statement check still passes and Step stays there.
    EXPECT_EQ(query->ColumnText(0), nullptr);
    query->Step();
    EXPECT_TRUE(query->AtEnd());
    ExpectRaises([&] { query->ColumnText(-1); }, kWrapper + "Invalid field index requested");
    ExpectRaises([&] { query->ColumnText(2); }, kWrapper + "Invalid field index requested");
    ExpectRaises([&] { query->ColumnName(2); }, kWrapper + "Invalid field index requested");

    query->Finish();
    query->Finish();
    const std::string finished = kWrapper + "Null Virtual Machine pointer";
    ExpectRaises([&] { query->AtEnd(); }, finished);
    ExpectRaises([&] { query->ColumnCount(); }, finished);
    ExpectRaises([&] { query->ColumnText(0); }, finished);
    ExpectRaises([&] { query->ColumnName(0); }, finished);
    ExpectRaises([&] { query->Step(); }, finished);
}

TEST_F(SQLite3Wrapper, FailingStepFinishesTheStatement) {
    db.Execute("create table t(v integer)");
    db.Execute("insert into t values(1), (-9223372036854775808)");
    auto query = db.RunQuery("select abs(v) from t");
    EXPECT_STREQ(query->ColumnText(0), "1");
    ExpectRaises([&] { query->Step(); }, "SQLITE_ERROR[1]: integer overflow");
    ExpectRaises([&] { query->AtEnd(); }, kWrapper + "Null Virtual Machine pointer");
    // A statement still reading t would make this fail with "database table is locked".
    db.Execute("create table u(v integer)");
    db.Execute("insert into u select v from t");
    db.Execute("drop table t");

    // The first step failing inside RunQuery: the code comes through, nothing stays open.
    ExpectRaises([&] { db.RunQuery("select abs(v) from u where v < 0"); },
                 "SQLITE_ERROR[1]: integer overflow");
    ExpectRaises([&] { db.Execute("insert into missing values(1)"); },
                 "SQLITE_ERROR[1]: no such table: missing");
    db.Execute("drop table u");
    // A leaked statement would keep the closed connection, and so the file, open.
    db.Close();
    std::error_code error;
    EXPECT_TRUE(std::filesystem::remove(std::filesystem::u8path(path), error)) << error.message();
}

TEST_F(SQLite3Wrapper, NothingStaysOpenAfterExceptionsOrClose) {
    db.Execute("create table t(k text, v text)");
    db.Execute("insert into t values('a', '1'), ('b', '2'), ('c', '3')");
    {
        auto query = db.RunQuery("select * from t");
        ExpectRaises([&] { query->ColumnText(5); }, kWrapper + "Invalid field index requested");
        auto table = db.SelectWhere("t", "1");
        ExpectRaises([&] { table->Lookup("z"); }, kWrapper + "Invalid field name requested");
    }
    // A query that outlives Close: the connection goes once the query is released.
    auto late = db.RunQuery("select * from t");
    db.Close();
    late = CountedPtr<SQLite3WrapperQuery>();

    // Any connection left behind would hold a read lock, and the schema change would time out.
    db.Open(path.c_str());
    db.Execute("drop table t");
    db.Execute("create table t(x)");
    EXPECT_TRUE(db.HasTable("t"));
}

TEST_F(SQLite3Wrapper, TableSearch) {
    db.Execute("create table kv(k text, v text, w text)");
    db.Execute("insert into kv values('Alpha', '1', 'a1'), ('beta', null, 'b'), "
               "('alpha', '3', null), (null, 'nokey', 'n'), ('num', '42x', '')");
    auto table = db.SelectWhere("kv", "k is null or k <> 'skip'");
    EXPECT_STREQ(table->Lookup("ALPHA"), "1");
    EXPECT_EQ(table->Lookup("beta"), nullptr);
    EXPECT_EQ(table->LookupAll("aLpHa"), (std::vector<std::string>{"1", "3"}));
    EXPECT_EQ(table->LookupInt("beta", 7), 7);
    EXPECT_EQ(table->LookupInt("num", 7), 42);
    EXPECT_EQ(table->LookupText("beta", "dflt"), "dflt");
    EXPECT_EQ(table->LookupText("num", "dflt"), "42x");
    EXPECT_TRUE(table->Contains("BETA"));
    // A NULL key cell never matches, not even the empty name.
    EXPECT_FALSE(table->Contains(""));
    EXPECT_FALSE(table->Contains(nullptr));
    const std::string noName = kWrapper + "Invalid field name requested";
    ExpectRaises([&] { table->Lookup("gamma"); }, noName);
    ExpectRaises([&] { table->Lookup(nullptr); }, noName);
    ExpectRaises([&] { table->LookupInt("gamma", 1); }, noName);
    ExpectRaises([&] { table->LookupAll("gamma"); }, noName);

    // Key column bounds: a value column must follow the key column.
    const std::string badColumn = kWrapper + "Invalid row index requested";
    ExpectRaises([&] { table->SetKeyColumn(-1); }, badColumn);
    ExpectRaises([&] { table->SetKeyColumn(2); }, badColumn);
    table->SetKeyColumn(1);
    EXPECT_STREQ(table->Lookup("NOKEY"), "n");
    EXPECT_EQ(table->LookupAll("3"), (std::vector<std::string>{""}));
    table->SetKeyColumn(0);
    EXPECT_STREQ(table->Lookup("beta"), nullptr);

    // One column: no value cell, so no read past the row.
    db.Execute("create table one(k text)");
    db.Execute("insert into one values('x'), ('y')");
    auto single = db.SelectWhere("one", "1");
    EXPECT_EQ(single->Lookup("x"), nullptr);
    EXPECT_EQ(single->LookupInt("y", -5), -5);
    ExpectRaises([&] { single->SetKeyColumn(0); }, badColumn);

    auto none = db.SelectWhere("kv", "0");
    EXPECT_FALSE(none->Contains("alpha"));
    ExpectRaises([&] { none->Lookup("alpha"); }, noName);
    ExpectRaises([&] { db.SelectWhere("kv", "nosuchcolumn = 1"); },
                 "SQLITE_ERROR[1]: no such column: nosuchcolumn");

    table->Release();
    table->Release();
    const std::string released = kWrapper + "Null Results pointer";
    ExpectRaises([&] { table->Lookup("alpha"); }, released);
    ExpectRaises([&] { table->LookupAll("alpha"); }, released);
    ExpectRaises([&] { table->Contains("alpha"); }, released);
    ExpectRaises([&] { table->SetKeyColumn(0); }, released);
}

TEST_F(SQLite3Wrapper, TableNamesAreQuoted) {
    const char* crafted = "x'; drop table t; --";
    db.Execute("create table t(a)");
    db.Execute("insert into t values(1)");
    db.Execute("create table x(k, v)");
    EXPECT_TRUE(db.HasTable("x"));
    EXPECT_FALSE(db.HasTable(crafted));
    ExpectRaises([&] { db.SelectWhere(crafted, "1"); },
                 "SQLITE_ERROR[1]: no such table: x'; drop table t; --");
    EXPECT_TRUE(db.HasTable("t"));

    db.Execute("create table \"x'; drop table t; --\"(k, v)");
    db.Execute("insert into \"x'; drop table t; --\" values('key', 'value')");
    db.Execute("create table \"dq\"\"name\"(k, v)");
    EXPECT_TRUE(db.HasTable(crafted));
    EXPECT_TRUE(db.HasTable("dq\"name"));
    EXPECT_STREQ(db.SelectWhere(crafted, "1")->Lookup("KEY"), "value");
    EXPECT_FALSE(db.SelectWhere("dq\"name", "1")->Contains("key"));
    EXPECT_EQ(db.QueryInteger("select count(*) from t"), 1);

    // 446 bytes is the longest name HasTable looks for.
    const std::string longest(446, 'n');
    db.Execute(("create table " + longest + "(a); create table " + longest + "m(a)").c_str());
    EXPECT_TRUE(db.HasTable(longest.c_str()));
    EXPECT_FALSE(db.HasTable((longest + "m").c_str()));
    EXPECT_FALSE(db.HasTable(nullptr));
    EXPECT_FALSE(db.HasTable("missing"));
}

TEST_F(SQLite3Wrapper, BusyTimeoutThenSqliteBusy) {
    db.Execute("create table t(a)");
    SQLite3WrapperDB other;
    other.SetBusyTimeout(200); // kept while closed, applied by Open
    other.Open(path.c_str());
    db.Execute("begin immediate; insert into t values(1)");

    using Clock = std::chrono::steady_clock;
    const auto expectWait = [&](auto write) {
        const auto start = Clock::now();
        ExpectRaises(write, "SQLITE_BUSY[5]: database is locked");
        const auto waited =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        EXPECT_GE(waited, 180);
        EXPECT_LT(waited, 2000);
    };
    expectWait([&] { other.Execute("insert into t values(2)"); });
    expectWait([&] { other.RunQuery("insert into t values(3)"); });
    db.Execute("commit");
    EXPECT_EQ(other.Execute("insert into t values(4)"), 1);

    // Opening again closes the old connection, which drops its open transaction and lock.
    db.Execute("begin immediate; insert into t values(5)");
    db.Open(path.c_str());
    EXPECT_EQ(other.Execute("insert into t values(6)"), 1);
    EXPECT_EQ(db.QueryInteger("select count(*) from t"), 3);
}

} // namespace
