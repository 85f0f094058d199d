#ifndef ZEL_SQL_TESTS_FAKE_ODBC_H_
#define ZEL_SQL_TESTS_FAKE_ODBC_H_

/// @file
/// A recording fake of the ODBC call-level interface, for unit tests.
///
/// The static library zel_sql_fake_odbc defines, with C linkage and unixODBC's
/// own signatures, the ODBC functions that libzel_sql calls (SQLAllocHandle,
/// SQLFreeHandle, SQLSetEnvAttr, SQLSetConnectAttr, SQLGetConnectAttr,
/// SQLSetStmtAttr, SQLConnect, SQLDisconnect, SQLExecDirect, SQLFetch,
/// SQLCancel, SQLGetData, SQLBindCol, SQLBindParameter, SQLGetDiagRec,
/// SQLNumResultCols, SQLDescribeCol, SQLColAttribute for SQL_DESC_UNSIGNED,
/// SQLRowCount, SQLMoreResults). A test
/// executable links the library's objects against it instead of libodbc.
///
/// What the fake does:
///
/// - It records every call with its arguments in a call log (calls()).
/// - Without a script it behaves like a small, well-behaved driver manager and
///   driver: handles are allocated and freed with ODBC's parent rules,
///   SQLConnect always succeeds, a statement can only be allocated on a
///   connected connection, SQLDisconnect frees the connection's statements,
///   SQLExecDirect opens the scripted result set, SQLFetch and SQLBindCol
///   fill bound buffers, SQLGetData hands out a value in pieces,
///   SQLGetConnectAttr answers SQL_ATTR_CONNECTION_DEAD (and refuses every
///   other attribute with HYC00). Misuse gets
///   the ODBC error that a real driver manager gives (SQL_INVALID_HANDLE for
///   an unknown handle, SQLSTATE 24000 for a fetch without a cursor, 07009 for
///   a bad column number, HY010 for freeing a connection that still has
///   statements, ...), with one diagnostic record "[fake_odbc]<text>".
/// - Return codes can be scripted per function: for every call, for the n-th
///   call, or as a queue for the next calls (set_result, set_result_at,
///   queue_result). A scripted failure (any code but SQL_SUCCESS and
///   SQL_SUCCESS_WITH_INFO) replaces the call completely: nothing is done,
///   nothing is written, the code is returned and the outcome's diagnostic
///   records are posted on the call's handle. A scripted success code lets the
///   call do its normal work and then returns the scripted code instead of
///   SQL_SUCCESS; should the normal work fail, that failure is returned.
/// - Diagnostic records live on handles as in ODBC: every call on a handle
///   other than SQLGetDiagRec first clears that handle's records; a failing
///   call (scripted or not) posts new ones. set_diagnostics() puts records on
///   a handle directly.
/// - Result sets are scripted before the statement is executed
///   (queue_result_set, set_result_set_for) and served by SQLFetch to bound
///   columns and by SQLGetData, with ODBC's conversion and length rules.
/// - Output parameters can be scripted (set_parameter_output); SQLExecDirect
///   writes them into the bound buffers, and records what the input
///   parameters held at that moment.
///
/// - A call can be made to hang, as a call to a server that stopped answering
///   does: block_next_call() makes the next call of a function wait, before it
///   does anything, until release_blocked_call().
///
/// The fake keeps one global state. Call reset() at the start of every test.
/// The ODBC functions may be called from several threads: each call runs
/// alone, and the log records the calling thread. The scripting and
/// inspection functions are for the test's own thread, while no other thread
/// calls the fake; wait_for_calls() is the exception.

#include <sql.h>
#include <sqlext.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace zel::sql::test::fake_odbc {

// --- the functions ----------------------------------------------------------

/// The ODBC functions of the fake.
enum class Fn {
    alloc_handle,      ///< SQLAllocHandle
    free_handle,       ///< SQLFreeHandle
    set_env_attr,      ///< SQLSetEnvAttr
    set_connect_attr,  ///< SQLSetConnectAttr
    set_stmt_attr,     ///< SQLSetStmtAttr
    connect,           ///< SQLConnect
    disconnect,        ///< SQLDisconnect
    exec_direct,       ///< SQLExecDirect
    fetch,             ///< SQLFetch
    cancel,            ///< SQLCancel
    get_data,          ///< SQLGetData
    bind_col,          ///< SQLBindCol
    bind_parameter,    ///< SQLBindParameter
    get_diag_rec,      ///< SQLGetDiagRec
    get_connect_attr,  ///< SQLGetConnectAttr
    num_result_cols,   ///< SQLNumResultCols
    describe_col,      ///< SQLDescribeCol
    free_stmt,         ///< SQLFreeStmt
    set_pos,           ///< SQLSetPos
    get_info,          ///< SQLGetInfo
    get_functions,     ///< SQLGetFunctions
    col_attribute,     ///< SQLColAttribute (SQL_DESC_UNSIGNED only: every column is signed)
    end_tran,          ///< SQLEndTran (on a connection)
    prepare,           ///< SQLPrepare
    execute,           ///< SQLExecute: runs the prepared text as SQLExecDirect would
    num_params,        ///< SQLNumParams: the prepared text's question marks
    row_count,         ///< SQLRowCount: as set_row_count() says
    more_results,      ///< SQLMoreResults: SQL_NO_DATA, one result per execution
};

/// "SQLAllocHandle" and so on.
const char* name_of(Fn fn);

// --- diagnostics ------------------------------------------------------------

/// One diagnostic record, as SQLGetDiagRec hands it out.
struct Diagnostic {
    Diagnostic(const char* message_text) : message(message_text) {}  // NOLINT: implicit on purpose
    Diagnostic(std::string message_text, std::string state = "HY000", SQLINTEGER native = 0)
        : message(std::move(message_text)), sqlstate(std::move(state)), native_error(native) {}

    std::string message;
    std::string sqlstate = "HY000";  ///< five characters
    SQLINTEGER native_error = 0;
};

// --- values and result sets -----------------------------------------------

/// One value of a result set or of an output parameter.
struct Value {
    enum class Kind { null, text, binary, real, integer };

    Kind kind = Kind::null;
    std::string bytes;      ///< text and binary: the bytes, NULs allowed
    double real = 0.0;      ///< real
    long long integer = 0;  ///< integer
    /// When true, the length/indicator reports SQL_NO_TOTAL for every piece
    /// but the last, as a driver does that does not know the length.
    bool no_total = false;
    /// When true, a character value bound to a column that is too short for it
    /// fills the whole buffer and gets no terminating NUL, as MariaDB
    /// Connector/ODBC 3.1 delivers it. SQLGetData still terminates each piece.
    bool unterminated = false;
    /// When set, every conversion of this value fails with this record, as a
    /// value the driver cannot convert: inside a rowset its row's status is
    /// SQL_ROW_ERROR.
    std::optional<Diagnostic> conversion_error;
};

/// SQL NULL.
Value null();
/// Character data.
Value text(std::string bytes);
/// Binary data.
Value binary(std::vector<unsigned char> bytes);
/// Binary data of `size` bytes 0, 1, 2, ..., 255, 0, 1, ...
Value binary_pattern(std::size_t size);
/// A floating-point number.
Value real(double number);
/// An integer (for 16-bit unsigned, 32-bit and other integer columns).
Value integer(long long number);
/// `value` with SQL_NO_TOTAL reported for every piece but the last.
Value without_total(Value value);
/// `value` without a terminating NUL when cut in a bound column's buffer.
Value unterminated(Value value);
/// A value whose every conversion fails with `error`.
Value unconvertible(Diagnostic error);

/// The bytes that binary_pattern(size) holds.
std::vector<unsigned char> pattern_bytes(std::size_t size);

/// The result of one statement execution: a number of columns and the rows.
/// A result set with zero columns is a statement that returns no rows (an
/// INSERT, a procedure call): it opens no cursor, and SQLFetch on it fails
/// with SQLSTATE 24000 as on a real driver.
class ResultSet {
public:
    /// One entry of the result: a row, or a failure that SQLFetch returns
    /// when it gets there (SQL_ERROR with these records) before going on.
    struct Entry {
        std::vector<Value> values;
        bool is_error = false;
        std::vector<Diagnostic> diagnostics;
    };

    explicit ResultSet(int columns = 0) : columns_(columns) {}

    /// Appends a row; it must have exactly columns() values.
    ResultSet& row(std::vector<Value> values);
    /// Appends a fetch failure.
    ResultSet& error(std::vector<Diagnostic> diagnostics);
    /// Names the columns for SQLDescribeCol; there must be columns() names.
    /// Unnamed columns are called "C1", "C2", ...
    ResultSet& names(std::vector<std::string> column_names);
    /// Declares the columns' sizes in characters for SQLDescribeCol; there
    /// must be columns() sizes. Undeclared columns report 0 (unknown), and no
    /// size is enforced on the values: a driver may declare too little.
    ResultSet& sizes(std::vector<SQLULEN> column_sizes);

    int columns() const { return columns_; }
    /// The declared size of column `column` (1-based); 0 when unknown.
    SQLULEN size(int column) const;
    /// The name of column `column` (1-based).
    std::string name(int column) const;
    const std::vector<Entry>& entries() const { return entries_; }

private:
    int columns_;
    std::vector<Entry> entries_;
    std::vector<std::string> names_;
    std::vector<SQLULEN> sizes_;
};

// --- scripting ----------------------------------------------------------------

/// Forgets everything: handles, scripts, result sets, outputs and the call
/// log. Handle numbering starts again.
void reset();

/// A scripted outcome of a call: its return code and, for a failure, the
/// diagnostic records posted on the call's handle.
struct Outcome {
    SQLRETURN code = SQL_SUCCESS;
    std::vector<Diagnostic> diagnostics;
};

/// Every call of `fn` from now on returns `code` (see the file comment for
/// what a scripted code does). Lowest precedence of the three.
void set_result(Fn fn, SQLRETURN code, std::vector<Diagnostic> diagnostics = {});

/// The `call_number`-th call of `fn` since reset() (1-based, counting every
/// call of `fn`, scripted or not) returns `code`. Highest precedence.
void set_result_at(Fn fn, int call_number, SQLRETURN code,
                   std::vector<Diagnostic> diagnostics = {});

/// Appends one outcome to the queue of `fn`: the next call of `fn` that has no
/// set_result_at outcome takes the first queued one.
void queue_result(Fn fn, SQLRETURN code, std::vector<Diagnostic> diagnostics = {});

/// Removes every scripted outcome of `fn`.
void clear_results(Fn fn);

/// Every execution of exactly the text `sql` opens `result`. Takes precedence
/// over the queue.
void set_result_set_for(std::string sql, ResultSet result);

/// The next execution whose text has no set_result_set_for result opens
/// `result`. An execution that finds neither opens no cursor.
void queue_result_set(ResultSet result);

/// At every successful execution, an output or input/output parameter number
/// `parameter` that is bound gets `value` written into its buffer and
/// length/indicator, with the rules of a bound column (NULL writes
/// SQL_NULL_DATA and leaves the buffer untouched).
void set_parameter_output(int parameter, Value value);

/// The server behind connection `dbc` goes away, as in a restart, unnoticed
/// by the driver: the next SQLExecDirect on one of its statements fails with
/// SQLSTATE 08S01 "[fake_odbc]Communication link failure", and from then on
/// every SQLExecDirect fails so and SQL_ATTR_CONNECTION_DEAD reads
/// SQL_CD_TRUE, until SQLDisconnect. The next SQLConnect works again.
void lose_connection(SQLHANDLE dbc);

/// What the driver tells of itself through SQLGetInfo and SQLGetFunctions.
/// Other information types fail with SQLSTATE HY096.
struct DriverInfo {
    /// SQL_GETDATA_EXTENSIONS; by default without SQL_GD_BLOCK, so that
    /// reads go one row per fetch unless a test offers row arrays.
    SQLUINTEGER getdata_extensions = SQL_GD_ANY_COLUMN | SQL_GD_ANY_ORDER | SQL_GD_BOUND;
    /// SQL_DRIVER_NAME.
    std::string name = "libfakeodbc.so";
    /// SQL_DRIVER_VER.
    std::string version = "01.02.0003";
    /// SQL_DRIVER_ODBC_VER.
    std::string odbc_version = "03.80";
    /// SQL_DBMS_NAME.
    std::string dbms_name = "FakeDB";
    /// SQL_DBMS_VER.
    std::string dbms_version = "9.8.7";
    /// SQLGetFunctions(SQL_API_SQLSETPOS).
    bool set_pos = true;
    /// SQL_PARAM_ARRAY_ROW_COUNTS; 0: the information type fails (HY096),
    /// as with a driver that knows nothing of parameter arrays.
    SQLUINTEGER param_array_row_counts = 0;
    /// SQL_PARAM_ARRAY_SELECTS; 0: the information type fails (HY096).
    SQLUINTEGER param_array_selects = 0;
};

/// SQLRowCount gives `count` from now on (-1 until this is called).
void set_row_count(SQLLEN count);

/// At every SQLExecute on a statement whose SQL_ATTR_PARAM_STATUS_PTR is
/// set, `status` is written there and its size to
/// SQL_ATTR_PARAMS_PROCESSED_PTR (if set), whatever the execution returns.
void set_parameter_status(std::vector<SQLUSMALLINT> status);

/// Every connection's driver describes itself so from now on.
void set_driver_info(DriverInfo info);

/// Replaces the diagnostic records of `handle` now; the next call on the
/// handle other than SQLGetDiagRec clears them again.
void set_diagnostics(SQLHANDLE handle, std::vector<Diagnostic> diagnostics);

// --- inspection ----------------------------------------------------------------

/// One argument of a recorded call. A number has `pointer` null; a pointer
/// has `pointer` set and `number` holding its address, so that a pointer
/// argument that carries an integer (the value of SQLSetStmtAttr) can be read
/// as a number as well.
struct Arg {
    long long number = 0;
    const void* pointer = nullptr;
};

/// What an input parameter held when the statement was executed.
struct ParameterSnapshot {
    SQLUSMALLINT number = 0;
    SQLSMALLINT io_type = 0;
    SQLLEN indicator = 0;  ///< the value of *StrLen_or_IndPtr (0 when that is null)
    std::string bytes;     ///< min(indicator, BufferLength) bytes of the buffer, if indicator >= 0
};

/// One recorded call.
struct Call {
    Fn fn = Fn::alloc_handle;
    /// The thread that made the call.
    std::thread::id thread;
    /// Every argument, in the order of the ODBC signature.
    std::vector<Arg> args;
    /// Texts passed with a length, resolved with that length (SQL_NTS: up to
    /// the first NUL): SQLExecDirect the statement; SQLConnect server name,
    /// user name and password. A null pointer gives std::nullopt.
    std::vector<std::optional<std::string>> texts;
    /// The code returned.
    SQLRETURN result = SQL_SUCCESS;
    /// SQLAllocHandle: the handle stored in *OutputHandle.
    SQLHANDLE output_handle = SQL_NULL_HANDLE;
    /// SQLGetData: the length/indicator written (none when nothing was).
    std::optional<SQLLEN> indicator;
    /// SQLGetData: the bytes written into the buffer.
    std::string written;
    /// SQLExecDirect: the bound input and input/output parameters.
    std::vector<ParameterSnapshot> parameters;

    const char* name() const { return name_of(fn); }
    long long number(std::size_t i) const { return args.at(i).number; }
    const void* pointer(std::size_t i) const { return args.at(i).pointer; }
    /// The handle that the call works on: the InputHandle of SQLAllocHandle,
    /// the Handle of SQLFreeHandle and SQLGetDiagRec, else the first argument.
    SQLHANDLE handle() const;
    /// texts[i], which must be present.
    const std::string& text(std::size_t i = 0) const { return texts.at(i).value(); }
};

/// Makes the next call of `fn` wait, before it does anything or is logged,
/// until release_blocked_call().
void block_next_call(Fn fn);

/// Waits until a call armed by block_next_call() has arrived and waits;
/// false when it has not after `timeout`.
bool wait_for_blocked_call(std::chrono::milliseconds timeout);

/// Makes every call of `fn` from now on take at least `delay` before it does
/// anything: a slow server that still answers.
void delay_calls(Fn fn, std::chrono::milliseconds delay);

/// Lets the blocked call go on (or the next one, if it has not arrived yet).
void release_blocked_call();

/// Waits until `done` holds for the call log, checked after every call of
/// another thread; false when it does not after `timeout`.
bool wait_for_calls(const std::function<bool(const std::vector<Call>&)>& done,
                    std::chrono::milliseconds timeout);

/// The call log since reset() or clear_calls(). Every further ODBC call may
/// grow it: read it, or copy what you need, before calling again.
const std::vector<Call>& calls();
/// Copies of the recorded calls of `fn`, in order. Keep the vector, not a
/// reference into it: `const Call& c = calls_of(fn).at(0);` dangles.
std::vector<Call> calls_of(Fn fn);
/// A copy of the `index`-th (0-based) recorded call of `fn`.
/// @throws std::out_of_range when there are not that many.
Call nth_call(Fn fn, std::size_t index);
/// The function names of the call log, in order.
std::vector<std::string> call_names();
/// The number of recorded calls of `fn`.
int count(Fn fn);
/// Empties the call log; handles, scripts and call numbers stay.
void clear_calls();

/// The handle most recently allocated with type `handle_type` (SQL_HANDLE_ENV,
/// SQL_HANDLE_DBC or SQL_HANDLE_STMT), freed or not; null when none was.
SQLHANDLE last_handle(SQLSMALLINT handle_type);
/// The allocated handles of `handle_type`, in the order of allocation.
std::vector<SQLHANDLE> live_handles(SQLSMALLINT handle_type);
/// True while `handle` is allocated.
bool is_live(SQLHANDLE handle);
/// True while connection `dbc` is connected.
bool is_connected(SQLHANDLE dbc);
/// The value of the statement attribute `attribute` last set on `stmt` (the
/// pointer argument as a number); std::nullopt when it was never set.
std::optional<long long> statement_attribute(SQLHANDLE stmt, SQLINTEGER attribute);
/// "env#1", "dbc#2", "stmt#3" (allocation order within the type), or "?".
std::string describe(SQLHANDLE handle);

}  // namespace zel::sql::test::fake_odbc

#endif  // ZEL_SQL_TESTS_FAKE_ODBC_H_
