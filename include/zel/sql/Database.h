#ifndef ZEL_SQL_DATABASE_H_
#define ZEL_SQL_DATABASE_H_

/// @file
/// One ODBC data source, reached with a user name and a password.

#include <string>
#include <string_view>
#include <vector>

#include "zel/export.h"
#include "zel/sql/Cache.h"
#include "zel/sql/DatabaseError.h"
#include "zel/sql/Procedure.h"
#include "zel/sql/Query.h"
#include "zel/sql/handles.h"

namespace zel::sql {

/// One ODBC data source. Nothing is allocated or contacted at construction;
/// the first send_query() or get_procedure() connects (ODBC version 3, login
/// time-out 5 seconds).
///
/// A refused connection is not reported by connect(): the Database stays
/// unconnected, and the statement allocation that follows fails with "Unable
/// to allocate SQL statement handle". get_last_connect_error() says why the
/// login was refused. The next call tries to connect again.
///
/// A connection that the driver reports dead (the server restarted, the
/// session was ended) is closed and opened again by the next send_query() or
/// get_procedure(): the statement that found the connection lost fails, the
/// next one logs in again. No statement is repeated by the library.
///
/// Every Query and Procedure made here must be destroyed before this Database
/// disconnects, reconnects after a lost connection, or is destroyed: its
/// statement belongs to the old connection. A Database is neither copied nor
/// moved.
///
/// Threads: one Database, together with the Query and Procedure objects made
/// from it, is used by one thread at a time; nothing here takes a lock. Use one
/// Database per thread to reach a data source from several threads.
class ZEL_SQL_API Database {
public:
    /// Stores the three strings; an empty user or password is not passed to
    /// the driver at all. Each must be shorter than 32768 bytes.
    Database(const std::string& data_source, const std::string& user, const std::string& password);
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;
    /// Disconnects if connected, then frees the connection and environment.
    ~Database();

    /// Allocates the handles if needed and calls SQLConnect. A refused
    /// SQLConnect leaves the Database unconnected without an exception.
    /// @throws zel::Error "SQL connection is already open", or a failed handle
    /// allocation.
    void connect();

    /// Closes the connection if it is open; the handles stay allocated and are
    /// reused by the next connect(). Never throws.
    void disconnect() noexcept;

    /// True from a successful connect() until disconnect(). A connection that
    /// the server dropped still counts as connected until the next
    /// send_query() or get_procedure() finds it dead.
    bool is_connected() const noexcept { return connected_; }

    /// Why the most recent login was refused: the diagnostic text of the
    /// connection, right after the refused SQLConnect (the message texts of
    /// all records, joined with nothing between them). Empty before the first
    /// attempt and after a successful one.
    std::string get_last_connect_error() const { return last_connect_error_; }

    /// The cache of this data source, for reading or changing its folder.
    Cache& get_cache() noexcept { return cache_; }
    /// The cache of this data source, read-only.
    const Cache& get_cache() const noexcept { return cache_; }

    /// Connects if needed (or again, when the driver reports the open
    /// connection dead) and returns `query`, already executed.
    /// @throws zel::Error as Query's constructor does; zel::sql::DatabaseError
    /// when the driver rejects the query.
    Query send_query(const std::string& query);

    /// Connects if needed (or again, when the driver reports the open
    /// connection dead) and returns a Procedure for the complete SQL text
    /// `procedure` (a call, not a bare procedure name), not yet executed.
    Procedure get_procedure(std::string procedure);

    /// The column names of table or view `table_name` of schema `owner` as
    /// listed by the data dictionary view ALL_TAB_COLUMNS, in the server's
    /// order; empty for a table that does not exist. Both names are compared in
    /// upper case; single quotes in them are doubled inside the SQL literals.
    /// Names longer than 255 bytes arrive cut.
    /// @throws zel::Error from send_query(), and "Fetch failed: <diagnostics>
    /// (<SQL text>)" when the driver reports an error instead of a row.
    std::vector<std::string> read_column_names(std::string_view table_name, std::string_view owner);

private:
    // Connects when not connected; asks the driver whether an open connection
    // is still alive and logs in again when it is not.
    void prepare_connection();

    Cache cache_;
    std::string data_source_;
    std::string user_;
    std::string password_;
    EnvironmentHandle env_handle_;
    ConnectionHandle conn_handle_;
    StatementHandle stmt_handle_;  // the Database's own statement; no operation allocates it
    bool connected_ = false;
    std::string last_connect_error_;
};

}  // namespace zel::sql

#endif  // ZEL_SQL_DATABASE_H_
