// A thin object layer over SQLite for the component's encrypted database: a connection
// (SQLite3WrapperDB), a forward-only cursor (SQLite3WrapperQuery), a whole result held in memory
// and searched as a name/value list (SQLite3WrapperTable), and the layer's one exception type.
//
// Every SQLite failure raises a SQLite3WrapperException with SQLite's result code and text;
// every misuse raises one with code 1000 (SQLITE_WRAPPER_ERROR) and a fixed text. The message is
// "<code name>[<code>]: <text>", e.g. "SQLITE_WRAPPER_ERROR[1000]: Database not open".
//
// No locks are taken: a connection, with the queries and tables made from it, belongs to one
// thread at a time. Queries and tables must be released before their connection is closed.
// Text in and out is UTF-8 (SQLite's encoding). sqlite3.h is not needed to use this header.
#pragma once

#include "support/CountedPtr.h"

#include <exception>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// The name of a result code: "SQLITE_OK" ... "SQLITE_RANGE" for 0 to 25, "SQLITE_ROW" (100),
// "SQLITE_DONE" (101), "SQLITE_WRAPPER_ERROR" (1000); "UNKNOWN_ERROR" for any other code.
// Raises nothing.
const char* ErrorCodeName(int code);

class SQLite3WrapperException : public std::exception {
public:
    // The code the layer uses for errors it finds itself rather than SQLite.
    static constexpr int WrapperError = 1000;

    // Code 0, the message is the text as given (a null text gives an empty message).
    explicit SQLite3WrapperException(const std::string& message);
    explicit SQLite3WrapperException(const char* message);
    // The message is "<ErrorCodeName(code)>[<code>]: <text>" (a null text counts as empty).
    // Never raises: if formatting fails the message stays empty.
    SQLite3WrapperException(int code, const char* text);
    SQLite3WrapperException(const SQLite3WrapperException& other);
    SQLite3WrapperException& operator=(const SQLite3WrapperException& other);
    ~SQLite3WrapperException() override;

    const char* what() const noexcept override;
    int Code() const noexcept { return code_; }

    // An owned heap copy; raises std::bad_alloc when out of memory.
    SQLite3WrapperException* clone() const;
    // Throws a copy of this exception.
    [[noreturn]] void raise() const;

private:
    int code_;
    std::string message_;
};

// A forward-only cursor over the rows of one compiled statement. Made by SQLite3WrapperDB::
// RunQuery, positioned on the first row (or at its end when there is none).
// Every operation except Finish raises (1000, "Null Virtual Machine pointer") once the statement
// has been finished.
class SQLite3WrapperQuery {
public:
    // Takes the statement of connection db. With own set the query finalizes it; otherwise the
    // statement is left to its owner. The column count is read from the statement.
    SQLite3WrapperQuery(sqlite3* db, sqlite3_stmt* statement, bool atEnd, bool own = true);
    // Finish; anything raised is dropped.
    virtual ~SQLite3WrapperQuery();
    SQLite3WrapperQuery(const SQLite3WrapperQuery&) = delete;
    SQLite3WrapperQuery& operator=(const SQLite3WrapperQuery&) = delete;

    int ColumnCount() const;
    // The name of column index as the statement gives it (its alias where the SQL has one).
    // Raises (1000, "Invalid field index requested") unless 0 <= index < ColumnCount().
    std::string ColumnName(int index) const;
    // The value of column index in the current row as text; null for SQL NULL and when the query
    // is at its end. Raises (1000, "Invalid field index requested") unless
    // 0 <= index < ColumnCount(). Valid until the next Step or Finish.
    const char* ColumnText(int index) const;
    // True when there is no current row.
    bool AtEnd() const;
    // Moves to the next row, or to the end; at the end it does nothing. When SQLite fails, the
    // statement is finished at once and SQLite's code and text are raised.
    void Step();
    // Releases the statement now (an unowned one is left alone). Raises SQLite's code and text
    // when finalizing reports an error; the statement is released all the same.
    void Finish();

private:
    void CheckStatement() const;

    sqlite3* db_;
    sqlite3_stmt* statement_;
    bool atEnd_;
    int columnCount_;
    bool own_;
};

// A whole result held in memory and searched as a name/value list: the key column holds the
// names (compared ignoring ASCII case, over at most 512 characters) and the column after it the
// values. A row whose key is SQL NULL never matches. Every operation except Release raises
// (1000, "Null Results pointer") once the results have been released.
class SQLite3WrapperTable {
public:
    // Takes results as returned by sqlite3_get_table: columns header cells, then rows rows of
    // columns cells each. The key column is 0.
    SQLite3WrapperTable(char** results, int rows, int columns);
    // Release; anything raised is dropped.
    virtual ~SQLite3WrapperTable();
    SQLite3WrapperTable(const SQLite3WrapperTable&) = delete;
    SQLite3WrapperTable& operator=(const SQLite3WrapperTable&) = delete;

    // The value of the first row whose key matches name; null when that value is SQL NULL or the
    // result has no value column. Raises (1000, "Invalid field name requested") when no row
    // matches or name is null. Valid until Release.
    const char* Lookup(const char* name) const;
    // Lookup, then defaultValue when the value is SQL NULL, else atoi of it. Raises as Lookup.
    int LookupInt(const char* name, int defaultValue) const;
    // Lookup, then defaultValue when the value is SQL NULL, else the value. Raises as Lookup.
    std::string LookupText(const char* name, const std::string& defaultValue) const;
    // The values of every matching row, in row order; SQL NULL gives "". Raises (1000, "Invalid
    // field name requested") when no row matches or name is null.
    std::vector<std::string> LookupAll(const char* name) const;
    // Whether any row's key matches name; false for a null name.
    bool Contains(const char* name) const;
    // Chooses the key column; the value column is the one after it. Raises (1000, "Invalid row
    // index requested") unless 0 <= column <= column count - 2.
    void SetKeyColumn(int column);
    // Frees the results now.
    void Release();

private:
    void CheckResults() const;
    // The row index of the next match at or after row, or -1.
    int FindFrom(const char* name, int row) const;
    const char* ValueCell(int row) const;

    int columnCount_;
    int rowCount_;
    int keyColumn_;
    char** results_;
};

// One connection to an encrypted database file. Closed until Open succeeds; can be opened again
// after Close. Operations that need a connection raise (1000, "Database not open") without one.
class SQLite3WrapperDB {
public:
    // Closed, busy timeout 60000 ms.
    SQLite3WrapperDB();
    // Close.
    virtual ~SQLite3WrapperDB();
    SQLite3WrapperDB(const SQLite3WrapperDB&) = delete;
    SQLite3WrapperDB& operator=(const SQLite3WrapperDB&) = delete;

    // Opens (creating it if missing) the database file fileName (UTF-8), applies the component's
    // encryption key and the stored busy timeout. An open connection is closed first. Raises
    // SQLite's code and text when the open fails; the failed handle is kept until Close. A file
    // that is not encrypted with the key opens, and its first use raises code 26 ("file is not a
    // database").
    void Open(const char* fileName);
    // Closes the connection if there is one. Never raises.
    void Close();
    // Stores the time a statement waits for other connections' locks before SQLite reports
    // SQLITE_BUSY, and applies it to an open connection; a closed one gets it at the next Open.
    void SetBusyTimeout(int milliseconds);
    // Runs statements that return no rows; returns the number of rows changed by the last one.
    // Raises SQLite's code and text on failure.
    int Execute(const char* sql);
    // Compiles the first statement of sql and fetches its first row. Raises SQLite's code and
    // text when compiling or the first step fails (the statement is then released).
    CountedPtr<SQLite3WrapperQuery> RunQuery(const char* sql);
    // The first column of the first row, converted with atoi (0 for SQL NULL). Raises as RunQuery,
    // and (1000, "Invalid scalar query") when there is no row or no column.
    int QueryInteger(const char* sql);
    // Whether a table of that name exists. Never raises: any failure, a null name and a name of
    // more than 446 bytes give false. The name is passed to SQLite as a quoted literal.
    bool HasTable(const char* name);
    // All rows of table that satisfy condition, sorted by their first column, in memory with key
    // column 0. The table name is quoted as an identifier, so any name is safe. The condition is
    // SQL text inserted as it stands (that is its purpose): it must never carry untrusted text.
    // Raises SQLite's code and text on failure.
    CountedPtr<SQLite3WrapperTable> SelectWhere(const char* table, const char* condition);

private:
    void CheckOpen() const;
    sqlite3_stmt* Compile(const char* sql);
    // Compiles sql and steps it once; the caller owns the statement. Raises as RunQuery.
    sqlite3_stmt* Start(const char* sql, bool* atEnd);

    sqlite3* db_;
    int busyTimeout_;
};
