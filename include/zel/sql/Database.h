#ifndef ZEL_SQL_DATABASE_H_
#define ZEL_SQL_DATABASE_H_

/// @file
/// One ODBC data source, reached with a user name and a password.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "zel/export.h"
#include "zel/sql/Cache.h"
#include "zel/sql/DatabaseError.h"
#include "zel/sql/DriverInfo.h"
#include "zel/sql/Procedure.h"
#include "zel/sql/Query.h"
#include "zel/sql/QueryResult.h"
#include "zel/sql/SourceState.h"
#include "zel/sql/handles.h"

namespace zel::sql {

namespace detail {
class BoundedOperation;  // internal: runs work under the wait limit (src/odbc/bounded_operation.h)
struct PreparedStatementAccess;  // internal: statements prepared for bound parameters
}  // namespace detail

// Threads and shared state, in short: a Database is used by one thread at a
// time; what the process knows about each data source (held back or not, the
// calls given up on it) is shared by all Database objects and guarded inside
// the library. Details at the end of the class comment below.

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
/// Bounded waiting: a server that stops answering (paused, overloaded, its
/// session silently dropped by a firewall) would block a driver call forever.
/// So the operations that contact the database on their own wait at most the
/// wait limit (default 15 s, see set_wait_limit()) for any one answer: the
/// connect made by send_query() and get_procedure(), read_column_names(),
/// read_with_cache(), and ComponentList::read_from_db() and
/// read_from_db_with_backup(). A long read whose answers keep coming is never
/// cut off. When an answer is overdue, the operation throws a DatabaseError
/// with SQLSTATE "HYT00" and a message such as "The database did not answer
/// within 15 s (connect to tavik_prod)"; the fallbacks to the backup file and
/// to the cache then work as for any other database failure. The hung
/// connection is given up: this Database never touches its handles again,
/// and the next operation connects anew. Its handles are freed once, by the
/// helper thread, when the hung call finally returns. The Query and Procedure
/// objects that the caller drives directly (fetch(), exec()) wait on the
/// caller's thread as long as the driver does; the driver's own time-outs
/// bound them (see the driver notes).
///
/// Lifetime of Query and Procedure objects. A Query or Procedure made here
/// belongs to the connection it was made on. Destroy it before this Database
/// disconnects, reconnects after a lost connection, or is destroyed: its
/// statement belongs to the old connection. A connection given up after a
/// timeout is the one case that nobody can see coming, so there the rule is
/// the other way round: every Query and Procedure of that connection turns
/// inert. Each call on it throws zel::Error "The connection of this statement
/// was given up after the database did not answer; make a new one", and
/// destroying it, at any time, makes no ODBC call: the helper thread that owns
/// the connection frees its statements together with it, once the hung call
/// returns. Make a new one with send_query() or get_procedure(). A Database
/// is neither copied nor moved.
///
/// Threads: one Database, together with the Query and Procedure objects made
/// from it, is used by one thread at a time; nothing of a Database takes a
/// lock (the process-wide state of the sources below has its own). Use one
/// Database per thread to reach a data source from several threads. With a
/// wait limit above 0, each bounded operation runs its database calls on one
/// helper thread while the calling thread waits. After the operation the
/// helper waits up to 2 s for the next one (of any Database of the process)
/// and then ends; after a timeout it does so only once the hung call returns
/// (never, if the server never answers: the process then ends it). Helpers
/// are detached: none holds up the end of the process. No ODBC handle is
/// ever used by two threads at once. With set_wait_limit(0) no thread is
/// started and every call runs on the caller's thread.
///
/// Ending the process while a given-up call still runs. Such a helper is
/// detached, and the driver's libraries are torn down as the process exits:
/// a hung call that happens to return during that teardown may crash inside
/// the driver. A program that can wait before it exits (a test, a tool that
/// writes a report) waits until get_source_states() shows given_up_calls 0
/// for every source; one that cannot wait ends with _exit() or quick_exit(),
/// which run no teardown.
///
/// Standbys. add_standby() names further data sources that hold a copy of the
/// same data. Every connect tries the sources in order (get_data_sources(),
/// or shuffled, see set_source_order()) and stays with the first that logs
/// in. The library's own reads (read_column_names(), read_with_cache(),
/// ComponentList::read_from_db() and read_from_db_with_backup()) that lose
/// their connection, find the login refused, or run out of the wait limit on
/// one source go on to the next in the same call; a statement of
/// send_query() or get_procedure() is never run again elsewhere, since it may
/// write (only their connect goes on). While connected to a standby, the first
/// operation after an earlier source's hold-back ended (or, for a source that
/// refused the login, after the hold-back time) tries that source first.
/// When every source fails, the error names each source with its failure, in
/// the order tried, joined with "; ". With one data source every message is
/// the same as without this feature.
///
/// Hold-back (process-wide state). A data source that did not answer within
/// the wait limit, or whose login timed out, is held back: no connection to
/// it is attempted, by any Database of the process, until the call that was
/// given up on it returns or the hold-back time has passed (set_hold_back():
/// 30 s, doubled after each further miss up to 8 minutes, back to 30 s after
/// an answer). A skipped source fails at once with a DatabaseError of SQLSTATE
/// "HYT00", e.g. "miran_prod is held back until 12:03:05 (it did not answer
/// within 15 s at 12:02:35: connect to miran_prod)". A refused login is not
/// held back. At most 4 calls given up on one source, and 16 in the process,
/// may still be running; while a cap is reached, a bounded operation on that
/// source fails the same way at once, without a thread, and says why. This
/// shared state is guarded by a lock of the library, held only for
/// bookkeeping, never across a database call, so Database objects on several
/// threads never wait for each other.
class ZEL_SQL_API Database {
public:
    /// Stores the three strings; an empty user or password is not passed to
    /// the driver at all. Each must be shorter than 32768 bytes.
    Database(const std::string& data_source, const std::string& user, const std::string& password);
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;
    /// Disconnects if connected, then frees the connection and environment.
    ~Database();

    /// Allocates the handles if needed and calls SQLConnect: with standbys,
    /// on each data source in order, skipping those held back, until one
    /// logs in. A refused SQLConnect leaves the Database unconnected without
    /// an exception.
    /// @throws zel::Error "SQL connection is already open", or a failed handle
    /// allocation.
    void connect();

    /// Closes the connection if it is open; the handles stay allocated and are
    /// reused by the next connect(). Never throws.
    void disconnect() noexcept;

    /// The data source given at construction (the primary).
    const std::string& get_data_source() const noexcept { return data_source_; }

    /// Adds a standby data source with the primary's user name and password.
    /// It is tried after the primary and the standbys added before it.
    void add_standby(const std::string& data_source);
    /// Adds a standby data source with its own user name and password.
    void add_standby(const std::string& data_source, const std::string& user,
                     const std::string& password);
    /// The primary first, then the standbys in the order added.
    std::vector<std::string> get_data_sources() const;
    /// The data source of the open connection; empty when not connected.
    std::string get_serving_source() const;

    /// The order in which connects try the data sources. SourceOrder::random
    /// shuffles all of them, primary included, once for this Database.
    void set_source_order(SourceOrder order);
    /// The order set by set_source_order(); SourceOrder::listed by default.
    SourceOrder get_source_order() const noexcept { return source_order_; }

    /// How long a data source is held back after it did not answer (see
    /// above); 30 s by default. 0: never held back, every call tries again.
    /// @throws zel::Error "Invalid hold-back: <n> ms (0 to 86400000 ms)" for a
    /// negative one or one longer than 24 h.
    void set_hold_back(std::chrono::milliseconds hold_back);
    /// The hold-back time; 0 is never.
    std::chrono::milliseconds get_hold_back() const noexcept { return hold_back_; }

    /// What the process knows of each data source, in the order of
    /// get_data_sources().
    std::vector<SourceState> get_source_states() const;

    /// True from a successful connect() until disconnect(). A connection that
    /// the server dropped still counts as connected until the next
    /// send_query() or get_procedure() finds it dead.
    bool is_connected() const noexcept { return connected_; }

    /// Why the most recent login was refused: the diagnostic text of the
    /// connection, right after the refused SQLConnect (the message texts of
    /// all records, joined with nothing between them). Empty before the first
    /// attempt and after a successful one.
    std::string get_last_connect_error() const { return last_connect_error_; }

    /// The longest that a bounded operation (see above) waits for one answer of
    /// the database: one connect, one statement execution, one fetch. 0 means
    /// no limit: everything runs on the caller's thread and waits as long as
    /// the driver does. The default of 15 s lies above the login time-out (5 s)
    /// and the query time-out (10 s), so a live server's own time-outs come
    /// first.
    /// @throws zel::Error "Invalid wait limit: <n> ms" for a negative limit,
    /// "Invalid wait limit: <n> ms (at most 86400000 ms)" for one above 24 h.
    void set_wait_limit(std::chrono::milliseconds limit);
    /// The wait limit; 0 is none.
    std::chrono::milliseconds get_wait_limit() const noexcept { return wait_limit_; }

    /// The cache of this data source, for reading or changing its folder.
    Cache& get_cache() noexcept { return cache_; }
    /// The cache of this data source, read-only.
    const Cache& get_cache() const noexcept { return cache_; }

    /// Connects if needed (or again, when the driver reports the open
    /// connection dead) and returns `query`, already executed.
    /// @throws zel::Error "Invalid SQL text: ..." for a text with a NUL,
    /// before anything is sent; as Query's constructor does;
    /// zel::sql::DatabaseError when the driver rejects the query, and "Unable
    /// to allocate SQL statement handle" with the SQLSTATE of the refused login.
    Query send_query(const std::string& query);

    /// Connects if needed (or again, when the driver reports the open
    /// connection dead) and returns a Procedure for the complete SQL text
    /// `procedure` (a call, not a bare procedure name), not yet executed.
    /// @throws as send_query().
    Procedure get_procedure(std::string procedure);

    /// The column names of table or view `table_name` of schema `owner` as
    /// listed by the data dictionary view ALL_TAB_COLUMNS, in the server's
    /// order; empty for a table that does not exist. Both names are compared in
    /// upper case; single quotes in them are doubled inside the SQL literals.
    /// Names longer than 255 bytes arrive cut. A name that holds a NUL or a
    /// backslash is refused before any SQL is sent: no real dictionary name
    /// has one, and a backslash could end the literal early on servers that
    /// read it as an escape, in some character sets even when doubled.
    /// @throws zel::Error "Invalid table name: ..." or "Invalid owner name:
    /// ..." for such a name; from send_query(), and "Fetch failed: <diagnostics>
    /// (<SQL text>)" when the driver reports an error instead of a row.
    std::vector<std::string> read_column_names(std::string_view table_name, std::string_view owner);

    /// The names and versions of the driver and of the server behind it
    /// (SQLGetInfo), connecting first if needed, as send_query() does, and
    /// bounded by the wait limit.
    /// @throws zel::sql::DatabaseError "Unable to connect to data source
    /// \"<name>\": <the driver's reason>" (get_last_connect_error(); without
    /// the colon when the driver gave none) with the SQLSTATE of the refused
    /// login; "Unable to read the driver information (<info type>):
    /// <diagnostics>" when the driver refuses to answer; "HYT00" when an answer
    /// is overdue. zel::Error for a failed handle allocation.
    DriverInfo get_driver_info();

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
    /// this Database's primary data source (whichever source answered) and is
    /// undamaged. QueryResult::served_by names the source that answered. An
    /// SQL text with a NUL is refused with zel::Error before anything is sent
    /// or stored. A failed store does not throw: the
    /// rows come back with `message` saying why they were not stored, and the
    /// previous copy stays as it was.
    /// @throws zel::Error with the database's and the cache's messages joined
    /// by "; " when neither can answer (cache_only: the cache's message alone).
    QueryResult read_with_cache(const std::string& sql, CachePolicy policy = CachePolicy::fallback,
                                std::chrono::seconds max_age = std::chrono::seconds{0});

    // --- transactions ------------------------------------------------------
    //
    // By default every statement is committed on its own (ODBC's autocommit).
    // With set_autocommit(false) the statements sent after the last commit()
    // or rollback() form one transaction on the open connection, which only
    // commit() stores. A connection that ends while such a transaction is
    // open takes it with it: the driver found the connection dead (the next
    // statement logs in again), or the connection was given up after a
    // timeout. No statement of it is ever sent again by the library; the
    // next commit() then throws instead of storing the rest on its own, and
    // rollback() starts afresh. disconnect() and the destructor roll back
    // what is not committed.

    /// Switches between committing every statement on its own (true, the
    /// default) and transactions ended by commit() or rollback() (false).
    /// Takes effect at once on an open connection (switching autocommit on
    /// commits an open transaction, as ODBC does) and at every later login.
    /// Bounded by the wait limit.
    /// @throws zel::sql::DatabaseError "Unable to set autocommit: <diagnostics>"
    /// when the driver refuses; the mode stays as it was.
    void set_autocommit(bool on);
    /// True when every statement is committed on its own.
    bool get_autocommit() const noexcept { return autocommit_; }

    /// Stores the open transaction (SQLEndTran SQL_COMMIT) under the wait
    /// limit. Does nothing in autocommit mode or when no connection is open
    /// and no transaction was lost.
    /// @throws zel::sql::DatabaseError "Unable to commit: <diagnostics>" when
    /// the driver refuses; "The transaction was lost with its connection;
    /// nothing of it was stored" (SQLSTATE "08S01") when its connection ended
    /// since the last commit() or rollback(): call rollback() before going on.
    /// "HYT00" when the answer is overdue: the transaction is then lost.
    void commit();

    /// Undoes the open transaction (SQLEndTran SQL_ROLLBACK) under the wait
    /// limit and forgets a lost one. Does nothing in autocommit mode or when
    /// no connection is open.
    /// @throws zel::sql::DatabaseError "Unable to roll back: <diagnostics>"
    /// when the driver refuses; "HYT00" when the answer is overdue.
    void rollback();

private:
    // Hands this Database's connection to the helper of a bounded operation
    // and takes it back.
    friend class detail::BoundedOperation;
    friend struct detail::PreparedStatementAccess;

    // Connects when not connected; asks the driver whether an open connection
    // is still alive and logs in again when it is not.
    void prepare_connection();
    // One SQLConnect to sources_[active_].
    void connect_active();
    // Turns the failed statement allocation after a refused login into a
    // DatabaseError with the login's SQLSTATE.
    [[noreturn]] void rethrow_allocation_failure(const Error& error) const;
    // The positions of sources_ in the order the next operation tries them.
    std::vector<std::size_t> trying_order();
    // Remembers that the operation was served by sources_[index].
    void settle_on(std::size_t index);
    void shuffle_order();

    struct Source {
        std::string data_source;
        std::string user;
        std::string password;
    };

    Cache cache_;
    std::string data_source_;
    std::string user_;
    std::string password_;
    std::vector<Source> sources_;     // [0] is the primary
    std::vector<std::size_t> order_;  // positions in sources_, in trying order
    SourceOrder source_order_ = SourceOrder::listed;
    std::size_t active_ = 0;  // the source connected to, or to connect to next
    // Inside one attempt on one source: nested operations stay on it.
    bool pinned_ = false;
    // Failing back from a standby: an earlier source was held back when this
    // Database settled on a later one, and when to try the earlier ones anyway.
    bool left_held_source_ = false;
    std::chrono::steady_clock::time_point retry_earlier_at_{};
    std::chrono::milliseconds hold_back_{30000};
    // The most recent refused login: its first record, and whether it was
    // refused in the current attempt.
    std::string last_connect_sqlstate_;
    std::int32_t last_connect_native_ = 0;
    bool login_failed_ = false;
    EnvironmentHandle env_handle_;
    ConnectionHandle conn_handle_;
    StatementHandle stmt_handle_;  // the Database's own statement; no operation allocates it
    bool connected_ = false;
    std::string last_connect_error_;
    std::chrono::milliseconds wait_limit_{15000};

    // Transactions (src/odbc/transactions.cpp).
    // Sets the autocommit attribute of the open connection as autocommit_ says.
    void apply_autocommit();
    // Ends the open transaction with SQL_COMMIT or SQL_ROLLBACK.
    void end_transaction(SQLSMALLINT completion);
    // A statement is about to be sent on the open connection.
    void note_statement() noexcept { transaction_open_ = !autocommit_; }
    // The open connection ended other than by disconnect().
    void note_connection_lost() noexcept {
        transaction_lost_ = transaction_lost_ || transaction_open_;
        transaction_open_ = false;
    }
    bool autocommit_ = true;
    // A statement was sent since the last commit or rollback.
    bool transaction_open_ = false;
    // A transaction was open on a connection that ended; commit() refuses.
    bool transaction_lost_ = false;
};

}  // namespace zel::sql

#endif  // ZEL_SQL_DATABASE_H_
