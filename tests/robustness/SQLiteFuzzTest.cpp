// Randomised database calls: mutated statements, random tokens, unterminated strings, huge
// numbers and binary junk through Execute, RunQuery/Step/ColumnText and QueryInteger, and odd
// table names (quotes, brackets, spaces, non-ASCII, empty, very long) through HasTable and
// SelectWhere, on an encrypted database in the test's folder. Every call gives a result or a
// SQLite3WrapperException; afterwards no statement is left and the database still answers.
#include "onlineutils/SQLite3Wrapper.h"

#include "common/TestFolder.h"
#include "robustness/Robustness.h"

#include "sqlite3.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t kCiCases = 3000;

// The wrapper keeps its connection to itself; an automatic extension sees every connection
// opened while it is registered, which hands the test the raw handle for sqlite3_next_stmt.
sqlite3* g_opened = nullptr;
int Capture(sqlite3* db, char**, const sqlite3_api_routines*) {
    g_opened = db;
    return SQLITE_OK;
}

const char* const kStatements[] = {
    "select * from t",
    "select k, v from t where n > 1 order by n",
    "insert into t values('x', 'y', 3)",
    "update t set v = 'z' where k = 'a'",
    "delete from t where n = 99",
    "select count(*) from t",
    "select 1; select 2",
    "begin",
    "commit",
    "rollback",
    "create table if not exists u(x, y)",
    "insert into u values(1, 'one')",
    "drop table if exists u",
    "select hex(x'00ff'), 1e999, -1e999, 9223372036854775808, -9223372036854775808",
    "select null, '', 'caf\xC3\xA9', '\xE6\x97\xA5'",
    "select * from sqlite_master",
    "pragma user_version",
    "savepoint s",
    "release s",
    "select k from t union select v from t",
    "",
    "   ",
    "-- only a comment",
    "/* unterminated comment",
};
const char* const kTokens[] = {
    "select",   "from",     "where",    "t",
    "u",        "'",        "\"",       "(",
    ")",        ",",        ";",        "*",
    "--",       "/*",       "x'0",      "99999999999999999999999999",
    "1e999999", "?",        ":a",       "@b",
    "$c",       "[",        "]",        "`",
    "null",     "order by", "group by", "limit -1",
    "values",   " ",        "\xC3\xA9", "\xFF\xFE",
    "\x01",
};

std::string RandomSql(Robustness::Rng& rng) {
    std::string sql = rng.Pick(kStatements);
    const std::size_t edits = static_cast<std::size_t>(rng.Range(0, 5));
    for (std::size_t i = 0; i < edits; ++i) {
        const std::size_t at = static_cast<std::size_t>(rng.Below(sql.size() + 1));
        switch (rng.Below(5)) {
        case 0:
            if (at < sql.size()) {
                sql.erase(at, static_cast<std::size_t>(rng.Range(1, 6)));
            }
            break;
        case 1:
            sql.resize(at); // unterminated strings and comments
            break;
        case 2: {
            // NUL-free binary junk.
            std::string junk;
            for (std::uint64_t k = rng.Range(1, 8); k > 0; --k) {
                junk += static_cast<char>(rng.Range(1, 255));
            }
            sql.insert(at, junk);
            break;
        }
        default:
            sql.insert(at, std::string(" ") + rng.Pick(kTokens) + " ");
            break;
        }
    }
    return sql;
}

std::string RandomName(Robustness::Rng& rng) {
    static const char* const names[] = {
        "t",
        "u",
        "",
        " ",
        "a b",
        "qu\"ote",
        "it's",
        "[br]",
        "`bq`",
        "\xC3\xBCn\xC3\xAF",
        "\xE6\x97\xA5\xE6\x9C\xAC",
        "x'; drop table t; --",
        "t\" where 1; --",
        "%s%n",
        "sqlite_master",
    };
    std::string name = rng.Pick(names);
    if (rng.Chance(10)) {
        name = std::string(static_cast<std::size_t>(rng.Range(440, 2000)), 'n');
    }
    if (rng.Chance(20)) {
        name += static_cast<char>(rng.Range(1, 255));
    }
    return name;
}

// Tables with odd names that the random statements never touch: they must stay findable.
const char* const kOddTables[] = {"a b", "qu\"ote", "it's", "[br]", "\xE6\x97\xA5\xE6\x9C\xAC"};

std::string Quoted(const std::string& name) {
    std::string quoted = "\"";
    for (char c : name) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + "\"";
}

class SQLiteFuzz : public ::testing::Test {
protected:
    void SetUp() override {
        sqlite3_auto_extension(reinterpret_cast<void (*)(void)>(&Capture));
        g_opened = nullptr;
        db.Open(path.c_str());
        sqlite3_cancel_auto_extension(reinterpret_cast<void (*)(void)>(&Capture));
        raw = g_opened;
        ASSERT_NE(raw, nullptr);
        db.Execute("create table t(k text, v text, n integer);"
                   "insert into t values('a', '1', 1), ('b', null, 2), ('A', '3', 3)");
        for (const char* name : kOddTables) {
            db.Execute(("create table " + Quoted(name) + "(k, v); insert into " + Quoted(name) +
                        " values('key', 'value')")
                           .c_str());
        }
    }

    TalvenTest::TestFolder folder;
    std::string path = std::filesystem::path(folder.Child(L"fuzz.db")).u8string();
    SQLite3WrapperDB db;
    sqlite3* raw = nullptr;
};

// One random call; raises what the wrapper raises.
void RandomCall(Robustness::Rng& rng, SQLite3WrapperDB& db, std::string& input) {
    switch (rng.Below(6)) {
    case 0:
        input = "Execute: " + RandomSql(rng);
        db.Execute(input.c_str() + 9);
        break;
    case 1: {
        input = "RunQuery: " + RandomSql(rng);
        auto query = db.RunQuery(input.c_str() + 10);
        const int columns = query->ColumnCount();
        for (int row = 0; row < 4 && !query->AtEnd(); ++row) {
            for (int column = -1; column <= columns; ++column) {
                try {
                    query->ColumnText(column);
                    EXPECT_TRUE(column >= 0 && column < columns) << "column " << column;
                } catch (const SQLite3WrapperException& e) {
                    EXPECT_EQ(e.Code(), SQLite3WrapperException::WrapperError);
                    EXPECT_FALSE(column >= 0 && column < columns) << "column " << column;
                }
            }
            query->Step();
        }
        if (rng.Chance(50)) {
            query->Finish();
        }
        break;
    }
    case 2:
        input = "QueryInteger: " + RandomSql(rng);
        db.QueryInteger(input.c_str() + 14);
        break;
    case 3: {
        const std::string name = RandomName(rng);
        input = "HasTable: " + name;
        db.HasTable(name.c_str());
        break;
    }
    default: {
        const std::string name = RandomName(rng);
        const std::string condition = rng.Chance(50) ? "1" : RandomSql(rng);
        input = "SelectWhere: " + name + " | " + condition;
        auto table = db.SelectWhere(name.c_str(), condition.c_str());
        const char* keys[] = {"a", "KEY", "b", "", "missing"};
        for (const char* key : keys) {
            if (table->Contains(key)) {
                EXPECT_FALSE(table->LookupAll(key).empty());
                table->LookupText(key, "default");
            }
        }
        if (rng.Chance(30)) {
            table->SetKeyColumn(static_cast<int>(rng.Range(-1, 3)));
        }
        break;
    }
    }
}

TEST_F(SQLiteFuzz, EveryCallGivesAResultOrAWrapperExceptionAndLeavesNothingOpen) {
    Robustness::Tally tally;
    Robustness::RunCases("sqlite", kCiCases, [&](Robustness::Rng& rng, std::uint64_t) {
        std::string input;
        try {
            RandomCall(rng, db, input);
            tally.Accepted();
        } catch (const SQLite3WrapperException& e) {
            tally.Refused(ErrorCodeName(e.Code()));
        } catch (const std::exception& e) {
            ADD_FAILURE() << "raised " << e.what() << " for " << Robustness::PrintableBytes(input);
        } catch (...) {
            ADD_FAILURE() << "raised a non-std exception for " << Robustness::PrintableBytes(input);
        }
        // Every query and table is gone here.
        EXPECT_EQ(sqlite3_next_stmt(raw, nullptr), nullptr)
            << "a statement was left behind by " << Robustness::PrintableBytes(input);
        try {
            EXPECT_EQ(db.QueryInteger("select 1"), 1);
            for (const char* name : kOddTables) {
                EXPECT_TRUE(db.HasTable(name)) << name;
            }
        } catch (const SQLite3WrapperException& e) {
            ADD_FAILURE() << "the database no longer answers: " << e.what() << " after "
                          << Robustness::PrintableBytes(input);
        }
    });
    tally.Print("sqlite calls", Robustness::CaseCount(kCiCases));
}

} // namespace
