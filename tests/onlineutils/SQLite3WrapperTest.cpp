// SQLite wrapper: encryption, guards, cursors, key lookups, quoted names, the busy timeout.
#include "onlineutils/SQLite3Wrapper.h"

#include "common/Generator.h"
#include "common/TestFolder.h"

#include "sqlite3.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

// Runs fn, which must raise a SQLite3WrapperException with exactly that message.
const auto ExpectRaises = [](auto fn, const std::string& message) {
    try {
        fn();
        ADD_FAILURE() << "no exception, expected: " << message;
    } catch (const SQLite3WrapperException& e) {
        EXPECT_EQ(e.what(), message);
    }
};

const std::string kWrapper = "SQLITE_WRAPPER_ERROR[1000]: ";

struct SQLite3Wrapper : ::testing::Test {
    // The timeout is kept while closed and applied by Open.
    void SetUp() override { db.SetBusyTimeout(200), db.Open(path.c_str()); }
    TalvenTest::TestFolder folder;
    std::string path = std::filesystem::path(folder.Child(L"data.db")).u8string();
    SQLite3WrapperDB db;
};

// Code names, a closed database's guards, cursors, key lookups and Close waiting for queries.
TEST_F(SQLite3Wrapper, CodeNamesClosedGuardsQueryCursorsCloseAndKeyLookups) {
    const std::pair<int, const char*> names[] = {{0, "SQLITE_OK"},      {25, "SQLITE_RANGE"},
                                                 {26, "UNKNOWN_ERROR"}, {-1, "UNKNOWN_ERROR"},
                                                 {100, "SQLITE_ROW"},   {101, "SQLITE_DONE"}};
    for (const auto& [code, name] : names) {
        EXPECT_STREQ(ErrorCodeName(code), name) << code;
    }
    EXPECT_STREQ(SQLite3WrapperException(5, nullptr).what(), "SQLITE_BUSY[5]: ");
    EXPECT_EQ(SQLite3WrapperException("as given %s").Code(), 0);
    std::unique_ptr<SQLite3WrapperException> copy(SQLite3WrapperException(7, "x").clone());
    ExpectRaises([&] { copy->raise(); }, "SQLITE_NOMEM[7]: x");

    SQLite3WrapperDB closed;
    closed.Close(); // closing a closed database does nothing
    ExpectRaises([&] { closed.Execute("select 1"); }, kWrapper + "Database not open");
    ExpectRaises([&] { closed.RunQuery("select 1"); }, kWrapper + "Database not open");
    ExpectRaises([&] { closed.SelectWhere("t", "1"); }, kWrapper + "Database not open");
    EXPECT_FALSE(closed.HasTable("sqlite_master"));
    ExpectRaises([&] { closed.Open("C:\\missing\\folder\\x.db"); },
                 "SQLITE_CANTOPEN[14]: unable to open database file");

    db.Execute("create table t(k integer, v text)");
    EXPECT_EQ(db.Execute("insert into t values(1, 'one'), (2, null), (3, 'three')"), 3);
    for (const char* noValue : {"select k from t where k < 0", "create table z(a)"}) {
        ExpectRaises([&] { db.QueryInteger(noValue); }, kWrapper + "Invalid scalar query");
    }
    EXPECT_EQ(db.QueryInteger("select v from t where k = 2"), 0);
    // An empty statement is a failure, never SQLITE_OK.
    ExpectRaises([&] { db.RunQuery(" "); }, "SQLITE_MISUSE[21]: bad parameter or other API misuse");

    auto query = db.RunQuery("select k, v as value from t order by k");
    EXPECT_EQ(query->ColumnName(1), "value");
    std::string seen;
    for (; !query->AtEnd(); query->Step()) {
        const char* v = query->ColumnText(1);
        seen += std::string(query->ColumnText(0)) + "=" + (v ? v : "NULL") + " ";
    }
    EXPECT_EQ(seen, "1=one 2=NULL 3=three ");
    query->Step(); // past the end: still at the end, no value
    EXPECT_TRUE(query->AtEnd() && !query->ColumnText(0));
    ExpectRaises([&] { query->ColumnText(-1); }, kWrapper + "Invalid field index requested");
    ExpectRaises([&] { query->ColumnName(2); }, kWrapper + "Invalid field index requested");
    query->Finish();
    query->Finish();
    ExpectRaises([&] { query->ColumnCount(); }, kWrapper + "Null Virtual Machine pointer");
    ExpectRaises([&] { query->Step(); }, kWrapper + "Null Virtual Machine pointer");

    db.Execute("create table kv(k text, v text, w text); insert into kv values('Alpha', '1', "
               "'a1'), ('beta', null, 'b'), ('alpha', '3', null), (null, 'nokey', 'n'), "
               "('num', '42x', ''); create table one(k text); insert into one values('x')");
    auto table = db.SelectWhere("kv", "k is null or k <> 'skip'");
    EXPECT_STREQ(table->Lookup("ALPHA"), "1");
    EXPECT_EQ(table->Lookup("beta"), nullptr);
    EXPECT_EQ(table->LookupAll("aLpHa"), (std::vector<std::string>{"1", "3"}));
    EXPECT_EQ(table->LookupInt("beta", 7) * 100 + table->LookupInt("num", 7), 742);
    EXPECT_EQ(table->LookupText("beta", "dflt") + table->LookupText("num", "dflt"), "dflt42x");
    // A NULL key cell never matches, not even the empty name.
    EXPECT_TRUE(table->Contains("BETA") && !table->Contains("") && !table->Contains(nullptr));
    const std::string noName = kWrapper + "Invalid field name requested";
    ExpectRaises([&] { table->Lookup(nullptr); }, noName);
    ExpectRaises([&] { table->LookupAll("gamma"); }, noName);
    // Key column bounds: a value column must follow the key column.
    ExpectRaises([&] { table->SetKeyColumn(-1); }, kWrapper + "Invalid row index requested");
    ExpectRaises([&] { table->SetKeyColumn(2); }, kWrapper + "Invalid row index requested");
    table->SetKeyColumn(1);
    EXPECT_STREQ(table->Lookup("NOKEY"), "n");
    EXPECT_EQ(table->LookupAll("3"), (std::vector<std::string>{""}));

    EXPECT_EQ(db.SelectWhere("one", "1")->LookupInt("x", -5), -5); // no value cell to read
    ExpectRaises([&] { db.SelectWhere("kv", "0")->Lookup("alpha"); }, noName);
    table->Release();
    table->Release();
    ExpectRaises([&] { table->Contains("alpha"); }, kWrapper + "Null Results pointer");

    // A failing step finishes the statement.
    db.Execute("create table w(v integer); insert into w values(1), (-9223372036854775808)");
    query = db.RunQuery("select abs(v) from w");
    EXPECT_STREQ(query->ColumnText(0), "1");
    ExpectRaises([&] { query->Step(); }, "SQLITE_ERROR[1]: integer overflow");
    ExpectRaises([&] { query->AtEnd(); }, kWrapper + "Null Virtual Machine pointer");
    // A statement still reading w would make this fail with "database table is locked".
    db.Execute("create table u(v integer); insert into u select v from w; drop table w");
    ExpectRaises([&] { db.RunQuery("select abs(v) from u where v < 0"); },
                 "SQLITE_ERROR[1]: integer overflow");
    ExpectRaises([&] { db.Execute("insert into missing values(1)"); },
                 "SQLITE_ERROR[1]: no such table: missing");

    // A query outliving Close keeps the connection until released; a leaked one would lock.
    auto late = db.RunQuery("select * from u");
    db.Close();
    late = CountedPtr<SQLite3WrapperQuery>();
    db.Open(path.c_str());
    db.Execute("drop table u");
    db.Close();
    std::error_code error;
    EXPECT_TRUE(std::filesystem::remove(std::filesystem::u8path(path), error)) << error.message();
}

// SQL text built from a table name quotes it: a crafted name is a name, never SQL.
TEST_F(SQLite3Wrapper, TableNamesAreQuoted) {
    const char* crafted = "x'; drop table t; --";
    db.Execute("create table t(a); insert into t values(1); create table x(k, v)");
    EXPECT_FALSE(db.HasTable(crafted));
    ExpectRaises([&] { db.SelectWhere(crafted, "1"); },
                 "SQLITE_ERROR[1]: no such table: x'; drop table t; --");
    db.Execute("create table \"x'; drop table t; --\"(k, v); create table \"dq\"\"name\"(k, v);"
               "insert into \"x'; drop table t; --\" values('key', 'value')");
    EXPECT_TRUE(db.HasTable(crafted) && db.HasTable("dq\"name"));
    EXPECT_STREQ(db.SelectWhere(crafted, "1")->Lookup("KEY"), "value");
    EXPECT_FALSE(db.SelectWhere("dq\"name", "1")->Contains("key"));
    EXPECT_EQ(db.QueryInteger("select count(*) from t"), 1);
    // 446 bytes is the longest name HasTable looks for.
    const std::string longest(446, 'n');
    db.Execute(("create table " + longest + "(a); create table " + longest + "m(a)").c_str());
    EXPECT_TRUE(db.HasTable(longest.c_str()));
    EXPECT_FALSE(db.HasTable((longest + "m").c_str()) || db.HasTable(nullptr));
}

// Reopening drops a lock; on disk only the way docs/DATABASE.md gives reads the data.
TEST_F(SQLite3Wrapper, BusyTimeoutAndEncryptionOnDisk) {
    const std::string marker = "Plaintext-Marker-7f3a9c";
    db.Execute(("create table t(a); insert into t values('" + marker + "')").c_str());
    SQLite3WrapperDB other;
    other.SetBusyTimeout(200), other.Open(path.c_str());
    db.Execute("begin immediate; insert into t values(1)");
    const auto start = std::chrono::steady_clock::now();
    ExpectRaises([&] { other.Execute("insert into t values(2)"); },
                 "SQLITE_BUSY[5]: database is locked");
    const auto waited = (std::chrono::steady_clock::now() - start) / std::chrono::milliseconds(1);
    EXPECT_TRUE(waited >= 180 && waited < 2000) << waited;
    db.Execute("commit");
    EXPECT_EQ(other.Execute("insert into t values(4)"), 1);
    db.Execute("begin immediate; insert into t values(5)");
    db.Open(path.c_str());
    EXPECT_EQ(other.Execute("insert into t values(6)"), 1);
    EXPECT_EQ(db.QueryInteger("select count(*) from t"), 4);
    db.Close();
    other.Close();
    std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), {}};
    EXPECT_TRUE(bytes.size() > 1000 && bytes.find(marker) == std::string::npos);
    const std::string uri = "file:" + path + "?cipher=chacha20&hexkey=54763723714c70325800";
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open_v2(uri.c_str(), &raw, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr),
              SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(raw, "select a from t", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(raw);
}

// An automatic extension hands the test the wrapper's raw connection for sqlite3_next_stmt.
sqlite3* g_opened = nullptr;
int Capture(sqlite3* db, char**, const sqlite3_api_routines*) {
    return g_opened = db, SQLITE_OK;
}

std::string Quoted(const std::string& text, char quote) {
    std::string quoted(1, quote);
    for (char c : text) {
        quoted.append(c == quote ? 2 : 1, c);
    }
    return quoted + quote;
}

// Random table names round-trip; statements cut short fail cleanly and leave nothing open.
TEST_F(SQLite3Wrapper, GeneratedCallsFailCleanlyAndQuotedNamesRoundTrip) {
    sqlite3_auto_extension(reinterpret_cast<void (*)(void)>(&Capture));
    db.Open(path.c_str());
    sqlite3_cancel_auto_extension(reinterpret_cast<void (*)(void)>(&Capture));
    ASSERT_NE(g_opened, nullptr);
    db.Execute("pragma locking_mode = exclusive; pragma synchronous = off; create table t(k, v);"
               "insert into t values('a', 1), ('b', null)");
    const char* const parts[] = {"x'; drop table t; --", "t\" where 1; --[b]`q`", "qu\"o it's %s%n",
                                 "\xC3\xBC\xE6\x97\xA5 u"};
    TalvenTest::ForEachGeneratedCase("sqlite", 60, 50000, [&](TalvenTest::Rng& rng, std::uint64_t) {
        std::string name = rng.Chance(10) ? std::string(440 + rng.Below(20), 'n') : "n";
        for (std::uint64_t k = rng.Below(4); k > 0; --k) {
            name += rng.Chance(20) ? std::string(1, static_cast<char>(1 + rng.Below(127)))
                                   : rng.Pick(parts);
        }
        const std::string value = "v'" + name, table = Quoted(name, '"');
        std::string sql = "select * from " + table + " where k = 'key' union select v, k from t";
        sql.resize(rng.Below(sql.size() + 1));
        SCOPED_TRACE("name " + name + ", sql " + sql);
        db.Execute(("create table " + table + "(k, v); insert into " + table + " values('key', " +
                    Quoted(value, '\'') + ")")
                       .c_str());
        EXPECT_EQ(db.HasTable(name.c_str()), name.size() <= 446);
        EXPECT_EQ(db.SelectWhere(name.c_str(), "1")->LookupText("KEY", ""), value);
        EXPECT_EQ(db.QueryInteger("select count(*) from t"), 2); // nothing injected
        try {
            rng.Chance(50) ? (void)db.Execute(sql.c_str()) : (void)db.RunQuery(sql.c_str());
        } catch (const SQLite3WrapperException&) {
        } catch (...) {
            ADD_FAILURE() << "not a wrapper exception";
        }
        EXPECT_EQ(sqlite3_next_stmt(g_opened, nullptr), nullptr) << "a statement was left behind";
        db.Execute(("drop table " + table).c_str());
    });
}

} // namespace
