// The SQLite access wrapper: connection, cursor, in-memory table and exception over the
// SQLite3 Multiple Ciphers library.
#include "onlineutils/SQLite3Wrapper.h"

#include "sqlite3.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace {

// Stored databases are encrypted under exactly these 10 bytes: nine ASCII characters and the
// terminating zero. Changing them makes every existing database unreadable (docs/DATABASE.md).
const char kDatabaseKey[] = "Tv7#qLp2X";
static_assert(sizeof(kDatabaseKey) == 10, "the key is 9 characters passed with their zero");

const int kDefaultBusyTimeout = 60000;
// The longest name HasTable accepts: what fits its historic 512-byte statement.
const std::size_t kMaxTableNameLength = 446;
// Key cells are compared over at most this many characters.
const std::size_t kMaxKeyCompare = 512;

const char* const kDatabaseNotOpen = "Database not open";
const char* const kNullStatement = "Null Virtual Machine pointer";
const char* const kNullResults = "Null Results pointer";
const char* const kInvalidFieldIndex = "Invalid field index requested";
const char* const kInvalidFieldName = "Invalid field name requested";
const char* const kInvalidRowIndex = "Invalid row index requested";
const char* const kInvalidScalarQuery = "Invalid scalar query";

struct SqliteFree {
    void operator()(char* text) const { sqlite3_free(text); }
};
using SqliteText = std::unique_ptr<char, SqliteFree>;

struct StatementFinalize {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using StatementOwner = std::unique_ptr<sqlite3_stmt, StatementFinalize>;

struct TableFree {
    void operator()(char** results) const { sqlite3_free_table(results); }
};
using TableOwner = std::unique_ptr<char*, TableFree>;

[[noreturn]] void RaiseWrapperError(const char* text) {
    throw SQLite3WrapperException(SQLite3WrapperException::WrapperError, text);
}

// A failed step: finalizing gives the specific code and leaves its text in the connection. When
// finalizing reports nothing (no statement, or one the caller does not own) the step's own code
// is raised with SQLite's generic text for it, so a failure never reads as SQLITE_OK.
[[noreturn]] void RaiseStepFailure(sqlite3* db, sqlite3_stmt* statement, bool finalize,
                                   int stepResult) {
    const int finalizeResult = finalize ? sqlite3_finalize(statement) : SQLITE_OK;
    if (finalizeResult != SQLITE_OK) {
        throw SQLite3WrapperException(finalizeResult, sqlite3_errmsg(db));
    }
    throw SQLite3WrapperException(stepResult,
                                  statement ? sqlite3_errmsg(db) : sqlite3_errstr(stepResult));
}

} // namespace

const char* ErrorCodeName(int code) {
    static const char* const names[] = {
        "SQLITE_OK",       "SQLITE_ERROR",     "SQLITE_INTERNAL", "SQLITE_PERM",
        "SQLITE_ABORT",    "SQLITE_BUSY",      "SQLITE_LOCKED",   "SQLITE_NOMEM",
        "SQLITE_READONLY", "SQLITE_INTERRUPT", "SQLITE_IOERR",    "SQLITE_CORRUPT",
        "SQLITE_NOTFOUND", "SQLITE_FULL",      "SQLITE_CANTOPEN", "SQLITE_PROTOCOL",
        "SQLITE_EMPTY",    "SQLITE_SCHEMA",    "SQLITE_TOOBIG",   "SQLITE_CONSTRAINT",
        "SQLITE_MISMATCH", "SQLITE_MISUSE",    "SQLITE_NOLFS",    "SQLITE_AUTH",
        "SQLITE_FORMAT",   "SQLITE_RANGE"};
    if (code >= 0 && code < static_cast<int>(sizeof(names) / sizeof(names[0]))) {
        return names[code];
    }
    switch (code) {
    case 100:
        return "SQLITE_ROW";
    case 101:
        return "SQLITE_DONE";
    case SQLite3WrapperException::WrapperError:
        return "SQLITE_WRAPPER_ERROR";
    default:
        return "UNKNOWN_ERROR";
    }
}

// --- SQLite3WrapperException ---------------------------------------------------------------

SQLite3WrapperException::SQLite3WrapperException(const std::string& message)
    : code_(0), message_(message) {}

SQLite3WrapperException::SQLite3WrapperException(const char* message)
    : code_(0), message_(message ? message : "") {}

SQLite3WrapperException::SQLite3WrapperException(int code, const char* text) : code_(code) {
    // An exception under construction must not raise another one.
    try {
        SqliteText formatted(
            sqlite3_mprintf("%s[%d]: %s", ErrorCodeName(code), code, text ? text : ""));
        if (formatted) {
            message_ = formatted.get();
        }
    } catch (...) {
        message_.clear();
    }
}

SQLite3WrapperException::SQLite3WrapperException(const SQLite3WrapperException& other) = default;
SQLite3WrapperException&
SQLite3WrapperException::operator=(const SQLite3WrapperException& other) = default;
SQLite3WrapperException::~SQLite3WrapperException() = default;

const char* SQLite3WrapperException::what() const noexcept {
    return message_.c_str();
}

SQLite3WrapperException* SQLite3WrapperException::clone() const {
    return new SQLite3WrapperException(*this);
}

void SQLite3WrapperException::raise() const {
    throw SQLite3WrapperException(*this);
}

// --- SQLite3WrapperQuery -------------------------------------------------------------------

SQLite3WrapperQuery::SQLite3WrapperQuery(sqlite3* db, sqlite3_stmt* statement, bool atEnd, bool own)
    : db_(db), statement_(statement), atEnd_(atEnd),
      columnCount_(statement ? sqlite3_column_count(statement) : 0), own_(own) {}

SQLite3WrapperQuery::~SQLite3WrapperQuery() {
    try {
        Finish();
    } catch (...) {
    }
}

void SQLite3WrapperQuery::CheckStatement() const {
    if (!statement_) {
        RaiseWrapperError(kNullStatement);
    }
}

int SQLite3WrapperQuery::ColumnCount() const {
    CheckStatement();
    return columnCount_;
}

std::string SQLite3WrapperQuery::ColumnName(int index) const {
    CheckStatement();
    if (index < 0 || index > columnCount_ - 1) {
        RaiseWrapperError(kInvalidFieldIndex);
    }
    // Null only when SQLite runs out of memory; an empty name is the honest answer then.
    const char* name = sqlite3_column_name(statement_, index);
    return name ? name : std::string();
}

const char* SQLite3WrapperQuery::ColumnText(int index) const {
    CheckStatement();
    if (index < 0 || index > columnCount_ - 1) {
        RaiseWrapperError(kInvalidFieldIndex);
    }
    // SQLite leaves column values undefined once a statement is done.
    if (atEnd_) {
        return nullptr;
    }
    return reinterpret_cast<const char*>(sqlite3_column_text(statement_, index));
}

bool SQLite3WrapperQuery::AtEnd() const {
    CheckStatement();
    return atEnd_;
}

void SQLite3WrapperQuery::Step() {
    CheckStatement();
    // Stepping a done statement would silently start it again from the first row.
    if (atEnd_) {
        return;
    }
    const int result = sqlite3_step(statement_);
    if (result == SQLITE_DONE) {
        atEnd_ = true;
        return;
    }
    if (result == SQLITE_ROW) {
        return;
    }
    // Release the statement before raising, so a caller that drops the query after the
    // exception leaves no statement (and no lock) behind.
    sqlite3_stmt* failed = statement_;
    statement_ = nullptr;
    RaiseStepFailure(db_, failed, own_, result);
}

void SQLite3WrapperQuery::Finish() {
    if (!statement_ || !own_) {
        return;
    }
    sqlite3_stmt* statement = statement_;
    statement_ = nullptr;
    const int result = sqlite3_finalize(statement);
    if (result != SQLITE_OK) {
        throw SQLite3WrapperException(result, sqlite3_errmsg(db_));
    }
}

// --- SQLite3WrapperTable -------------------------------------------------------------------

SQLite3WrapperTable::SQLite3WrapperTable(char** results, int rows, int columns)
    : columnCount_(columns), rowCount_(rows), keyColumn_(0), results_(results) {}

SQLite3WrapperTable::~SQLite3WrapperTable() {
    try {
        Release();
    } catch (...) {
    }
}

void SQLite3WrapperTable::CheckResults() const {
    if (!results_) {
        RaiseWrapperError(kNullResults);
    }
}

int SQLite3WrapperTable::FindFrom(const char* name, int row) const {
    if (!name) {
        return -1;
    }
    const std::size_t columns = static_cast<std::size_t>(columnCount_);
    for (; row < rowCount_; ++row) {
        const char* key = results_[columns * (static_cast<std::size_t>(row) + 1) + keyColumn_];
        if (key && _strnicmp(name, key, kMaxKeyCompare) == 0) {
            return row;
        }
    }
    return -1;
}

const char* SQLite3WrapperTable::ValueCell(int row) const {
    // A result of one column has no value cell; the cell after the key would belong to the
    // next row, or lie past the end of the array for the last one.
    if (keyColumn_ + 1 >= columnCount_) {
        return nullptr;
    }
    const std::size_t columns = static_cast<std::size_t>(columnCount_);
    return results_[columns * (static_cast<std::size_t>(row) + 1) + keyColumn_ + 1];
}

const char* SQLite3WrapperTable::Lookup(const char* name) const {
    CheckResults();
    const int row = FindFrom(name, 0);
    if (row < 0) {
        RaiseWrapperError(kInvalidFieldName);
    }
    return ValueCell(row);
}

int SQLite3WrapperTable::LookupInt(const char* name, int defaultValue) const {
    const char* value = Lookup(name);
    return value ? std::atoi(value) : defaultValue;
}

std::string SQLite3WrapperTable::LookupText(const char* name,
                                            const std::string& defaultValue) const {
    const char* value = Lookup(name);
    return value ? std::string(value) : defaultValue;
}

std::vector<std::string> SQLite3WrapperTable::LookupAll(const char* name) const {
    CheckResults();
    std::vector<std::string> values;
    for (int row = FindFrom(name, 0); row >= 0; row = FindFrom(name, row + 1)) {
        const char* value = ValueCell(row);
        values.emplace_back(value ? value : "");
    }
    if (values.empty()) {
        RaiseWrapperError(kInvalidFieldName);
    }
    return values;
}

bool SQLite3WrapperTable::Contains(const char* name) const {
    CheckResults();
    return FindFrom(name, 0) >= 0;
}

void SQLite3WrapperTable::SetKeyColumn(int column) {
    CheckResults();
    if (column < 0 || column > columnCount_ - 2) {
        RaiseWrapperError(kInvalidRowIndex);
    }
    keyColumn_ = column;
}

void SQLite3WrapperTable::Release() {
    if (results_) {
        sqlite3_free_table(results_);
        results_ = nullptr;
    }
}

// --- SQLite3WrapperDB ----------------------------------------------------------------------

SQLite3WrapperDB::SQLite3WrapperDB() : db_(nullptr), busyTimeout_(kDefaultBusyTimeout) {}

SQLite3WrapperDB::~SQLite3WrapperDB() {
    Close();
}

void SQLite3WrapperDB::CheckOpen() const {
    if (!db_) {
        RaiseWrapperError(kDatabaseNotOpen);
    }
}

void SQLite3WrapperDB::Open(const char* fileName) {
    // Opening over an open connection would lose its handle.
    Close();
    const int result = sqlite3_open(fileName, &db_);
    if (result != SQLITE_OK) {
        throw SQLite3WrapperException(result, sqlite3_errmsg(db_));
    }
    sqlite3_key(db_, kDatabaseKey, static_cast<int>(sizeof(kDatabaseKey)));
    SetBusyTimeout(busyTimeout_);
}

void SQLite3WrapperDB::Close() {
    if (db_) {
        // close_v2: a query or table still alive does not keep the connection from being freed
        // once it is released; the plain close would fail and leak the connection.
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
}

void SQLite3WrapperDB::SetBusyTimeout(int milliseconds) {
    busyTimeout_ = milliseconds;
    if (db_) {
        sqlite3_busy_timeout(db_, milliseconds);
    }
}

int SQLite3WrapperDB::Execute(const char* sql) {
    CheckOpen();
    char* errorText = nullptr;
    const int result = sqlite3_exec(db_, sql, nullptr, nullptr, &errorText);
    SqliteText error(errorText);
    if (result != SQLITE_OK) {
        throw SQLite3WrapperException(result, error.get());
    }
    return sqlite3_changes(db_);
}

sqlite3_stmt* SQLite3WrapperDB::Compile(const char* sql) {
    CheckOpen();
    sqlite3_stmt* statement = nullptr;
    // prepare_v2 recompiles a statement whose schema another connection changed, instead of
    // failing it with SQLITE_SCHEMA.
    const int result = sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr);
    if (result != SQLITE_OK) {
        throw SQLite3WrapperException(result, sqlite3_errmsg(db_));
    }
    return statement;
}

sqlite3_stmt* SQLite3WrapperDB::Start(const char* sql, bool* atEnd) {
    sqlite3_stmt* statement = Compile(sql);
    const int result = sqlite3_step(statement);
    if (result != SQLITE_ROW && result != SQLITE_DONE) {
        RaiseStepFailure(db_, statement, true, result);
    }
    *atEnd = result == SQLITE_DONE;
    return statement;
}

CountedPtr<SQLite3WrapperQuery> SQLite3WrapperDB::RunQuery(const char* sql) {
    bool atEnd = false;
    StatementOwner statement(Start(sql, &atEnd));
    std::unique_ptr<SQLite3WrapperQuery> query(
        new SQLite3WrapperQuery(db_, statement.get(), atEnd, true));
    statement.release();
    return CountedPtr<SQLite3WrapperQuery>(query.release());
}

int SQLite3WrapperDB::QueryInteger(const char* sql) {
    // The same query as RunQuery gives, but on the stack: scalar queries run in loops, and the
    // two heap blocks of a shared query cost them measurably.
    bool atEnd = false;
    sqlite3_stmt* statement = Start(sql, &atEnd);
    SQLite3WrapperQuery query(db_, statement, atEnd, true);
    if (query.AtEnd() || query.ColumnCount() < 1) {
        RaiseWrapperError(kInvalidScalarQuery);
    }
    const char* value = query.ColumnText(0);
    return value ? std::atoi(value) : 0;
}

bool SQLite3WrapperDB::HasTable(const char* name) {
    if (!name || std::strlen(name) > kMaxTableNameLength) {
        return false;
    }
    try {
        // %q doubles apostrophes, so the name stays one literal whatever it holds.
        SqliteText sql(sqlite3_mprintf(
            "select count(*) from sqlite_master where type='table' and name='%q'", name));
        return sql && QueryInteger(sql.get()) > 0;
    } catch (...) {
        return false;
    }
}

CountedPtr<SQLite3WrapperTable> SQLite3WrapperDB::SelectWhere(const char* table,
                                                              const char* condition) {
    CheckOpen();
    // %w doubles double quotes, so the table name stays one identifier whatever it holds.
    SqliteText sql(sqlite3_mprintf("select * from \"%w\" where %s order by 1;", table ? table : "",
                                   condition ? condition : ""));
    if (!sql) {
        throw SQLite3WrapperException(SQLITE_NOMEM, sqlite3_errstr(SQLITE_NOMEM));
    }
    char** cells = nullptr;
    int rows = 0;
    int columns = 0;
    char* errorText = nullptr;
    const int result = sqlite3_get_table(db_, sql.get(), &cells, &rows, &columns, &errorText);
    TableOwner results(cells);
    SqliteText error(errorText);
    if (result != SQLITE_OK) {
        throw SQLite3WrapperException(result, error.get());
    }
    std::unique_ptr<SQLite3WrapperTable> found(
        new SQLite3WrapperTable(results.get(), rows, columns));
    results.release();
    return CountedPtr<SQLite3WrapperTable>(found.release());
}
