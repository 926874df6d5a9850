// SQLite benchmark, in one run: the wrapper's cursor and scalar query against the raw SQLite API
// on the same database (goal: within 1.1x), and the cost of encryption for one insert and select
// workload on an encrypted and on an unencrypted database.
#include "onlineutils/SQLite3Wrapper.h"

#include "sqlite3.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

namespace {

namespace fs = std::filesystem;

const int kRows = 100000;
const int kScalarCalls = 100000;
// The component's key (docs/DATABASE.md), so that raw connections read the wrapper's files.
const char kDatabaseKey[] = "Tv7#qLp2X";

double Milliseconds(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

using Pair = std::pair<double, double>;

// The best time of each of two pieces of work, run in turns.
Pair BestOfPair(int runs, const std::function<void()>& first, const std::function<void()>& second) {
    Pair best(1e300, 1e300);
    for (int i = 0; i < runs; ++i) {
        best.first = std::min(best.first, Milliseconds(first));
        best.second = std::min(best.second, Milliseconds(second));
    }
    return best;
}

void Check(int result, sqlite3* db, const char* what) {
    if (result != SQLITE_OK && result != SQLITE_ROW && result != SQLITE_DONE) {
        throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db));
    }
}

sqlite3* RawOpen(const std::string& file, bool encrypted) {
    sqlite3* db = nullptr;
    Check(sqlite3_open(file.c_str(), &db), db, "open");
    if (encrypted) {
        Check(sqlite3_key(db, kDatabaseKey, static_cast<int>(sizeof(kDatabaseKey))), db, "key");
    }
    return db;
}

void RawExec(sqlite3* db, const char* sql) {
    Check(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), db, sql);
}

// Keeps the compiler from dropping work whose results are otherwise unused.
volatile std::size_t g_sink;

void PrintRatio(const char* what, const char* left, double a, const char* right, double b) {
    std::printf("  %-40s %-9s %9.2f ms   %-5s %9.2f ms   ratio %.2f\n", what, left, a, right, b,
                a / b);
}

void CompareWithRawApi(const std::string& file) {
    SQLite3WrapperDB db;
    db.Open(file.c_str());
    db.Execute("create table t(k integer primary key, v text);"
               "with recursive c(x) as (select 1 union all select x + 1 from c where x < 100000)"
               " insert into t select x, 'value-' || x from c;");
    sqlite3* raw = RawOpen(file, true);

    const auto wrapperScan = [&] {
        std::size_t total = 0;
        auto query = db.RunQuery("select k, v from t");
        while (!query->AtEnd()) {
            total += std::strlen(query->ColumnText(0)) + std::strlen(query->ColumnText(1));
            query->Step();
        }
        g_sink = total;
    };
    const auto rawScan = [&] {
        std::size_t total = 0;
        sqlite3_stmt* statement = nullptr;
        Check(sqlite3_prepare_v2(raw, "select k, v from t", -1, &statement, nullptr), raw, "scan");
        while (sqlite3_step(statement) == SQLITE_ROW) {
            total += std::strlen(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
            total += std::strlen(reinterpret_cast<const char*>(sqlite3_column_text(statement, 1)));
        }
        sqlite3_finalize(statement);
        g_sink = total;
    };
    const char* scalar = "select k * 2 from t where k = 777";
    const auto wrapperScalar = [&] {
        std::size_t total = 0;
        for (int i = 0; i < kScalarCalls; ++i) {
            total += static_cast<std::size_t>(db.QueryInteger(scalar));
        }
        g_sink = total;
    };
    const auto rawScalar = [&] {
        std::size_t total = 0;
        for (int i = 0; i < kScalarCalls; ++i) {
            sqlite3_stmt* statement = nullptr;
            Check(sqlite3_prepare_v2(raw, scalar, -1, &statement, nullptr), raw, "scalar");
            if (sqlite3_step(statement) == SQLITE_ROW) {
                const char* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
                total += static_cast<std::size_t>(text ? std::atoi(text) : 0);
            }
            sqlite3_finalize(statement);
        }
        g_sink = total;
    };

    // Warm both connections' page caches before measuring. Runs alternate between the two
    // sides so that a busy machine slows both alike.
    wrapperScan();
    rawScan();
    std::printf("Wrapper against the raw SQLite API on the same encrypted database "
                "(goal: ratio <= 1.10):\n");
    Pair scan = BestOfPair(7, wrapperScan, rawScan);
    PrintRatio("RunQuery + Step, 100000 rows, best of 7", "wrapper", scan.first, "raw",
               scan.second);
    // Inside one read transaction per connection: otherwise every statement takes and drops the
    // file lock, which is slow under Wine and would drown what is measured.
    db.Execute("begin");
    RawExec(raw, "begin");
    Pair scalarTimes = BestOfPair(3, wrapperScalar, rawScalar);
    PrintRatio("QueryInteger x 100000, best of 3", "wrapper", scalarTimes.first, "raw",
               scalarTimes.second);
    db.Execute("commit");
    RawExec(raw, "commit");
    sqlite3_close(raw);
}

struct Workload {
    double open = 1e300;
    double insert = 1e300;
    double select = 1e300;
};

// One run: create and fill a table in one transaction, then reopen and scan it (cold cache).
void RunWorkload(const std::string& file, bool encrypted, Workload& best) {
    std::error_code ignored;
    fs::remove(fs::u8path(file), ignored);
    sqlite3* db = RawOpen(file, encrypted);
    best.insert = std::min(
        best.insert, Milliseconds([&] {
            RawExec(db, "create table w(k integer primary key, v text); begin");
            sqlite3_stmt* insert = nullptr;
            Check(sqlite3_prepare_v2(db, "insert into w values(?, ?)", -1, &insert, nullptr), db,
                  "insert");
            char payload[80];
            for (int i = 0; i < kRows; ++i) {
                const int length = std::snprintf(
                    payload, sizeof(payload), "row %08d of the encryption workload, some text", i);
                sqlite3_bind_int(insert, 1, i);
                sqlite3_bind_text(insert, 2, payload, length, SQLITE_STATIC);
                Check(sqlite3_step(insert), db, "insert");
                sqlite3_reset(insert);
            }
            sqlite3_finalize(insert);
            RawExec(db, "commit");
        }));
    sqlite3_close(db);

    db = nullptr;
    best.open = std::min(best.open, Milliseconds([&] {
                             db = RawOpen(file, encrypted);
                             RawExec(db, "select count(*) from sqlite_master");
                         }));
    best.select = std::min(
        best.select, Milliseconds([&] {
            sqlite3_stmt* scan = nullptr;
            Check(sqlite3_prepare_v2(db, "select k, v from w", -1, &scan, nullptr), db, "select");
            std::size_t total = 0;
            while (sqlite3_step(scan) == SQLITE_ROW) {
                total += static_cast<std::size_t>(sqlite3_column_bytes(scan, 1));
            }
            sqlite3_finalize(scan);
            g_sink = total;
        }));
    sqlite3_close(db);
}

void CostOfEncryption(const fs::path& folder) {
    const std::string encryptedFile = (folder / "encrypted.db").u8string();
    const std::string plainFile = (folder / "plain.db").u8string();
    Workload encrypted;
    Workload plain;
    for (int run = 0; run < 3; ++run) {
        RunWorkload(plainFile, false, plain);
        RunWorkload(encryptedFile, true, encrypted);
    }
    std::printf("Cost of encryption (chacha20 against none, raw API, best of 3 runs):\n");
    PrintRatio("open + key + first read", "encrypted", encrypted.open, "plain", plain.open);
    PrintRatio("insert 100000 rows, 1 transaction", "encrypted", encrypted.insert, "plain",
               plain.insert);
    PrintRatio("select 100000 rows, cold cache", "encrypted", encrypted.select, "plain",
               plain.select);
}

} // namespace

int main() {
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    const fs::path folder =
        fs::temp_directory_path() / ("talven-sqlite-bench-" + std::to_string(stamp));
    fs::create_directories(folder);
    int status = 0;
    try {
        CompareWithRawApi((folder / "bench.db").u8string());
        CostOfEncryption(folder);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "benchmark failed: %s\n", e.what());
        status = 1;
    }
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    return status;
}
