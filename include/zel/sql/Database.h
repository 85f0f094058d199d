#ifndef ZEL_SQL_DATABASE_H_
#define ZEL_SQL_DATABASE_H_

/// @file
/// One ODBC data source, reached with a user name and a password.

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "zel/export.h"
#include "zel/sql/Cache.h"
#include "zel/sql/DatabaseError.h"
#include "zel/sql/Procedure.h"
#include "zel/sql/Query.h"
#include "zel/sql/QueryResult.h"
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

    /// Every row of `sql` with every value as text, read from the database and
    /// stored in this data source's cache, or read from the cached copy when
    /// the policy allows it or the database fails:
    ///
    /// - fallback: read from the database and store the result; when reading
    ///   throws zel::Error, the cached copy with `message` the database's
    ///   message.
    /// - prefer_cache: a cached copy younger than `max_age` (now minus its
    ///   stored_at) without contacting the database; otherwise as fallback.
    ///   With the default `max_age` of 0 no copy is young enough.
    /// - cache_only: the cached copy; the database is never contacted.
    ///
    /// A copy counts only when it was stored for exactly this SQL text through
    /// this data source and is undamaged. A failed store does not throw: the
    /// rows come back with `message` saying why they were not stored, and the
    /// previous copy stays as it was.
    /// @throws zel::Error with the database's and the cache's messages joined
    /// by "; " when neither can answer (cache_only: the cache's message alone).
    QueryResult read_with_cache(const std::string& sql, CachePolicy policy = CachePolicy::fallback,
                                std::chrono::seconds max_age = std::chrono::seconds{0});

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
