#ifndef ZEL_SQL_TESTS_FAKE_ODBC_STATE_H_
#define ZEL_SQL_TESTS_FAKE_ODBC_STATE_H_

// Internal to the fake: the global state that the scripting API (fake_odbc.cpp)
// fills and the ODBC functions (odbc_functions.cpp) serve, and the value
// conversions (values.cpp).

#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "fake_odbc.h"

namespace zel::sql::test::fake_odbc::detail {

/// SQL_SUCCESS or SQL_SUCCESS_WITH_INFO.
inline bool succeeded(SQLRETURN code) {
    return code == SQL_SUCCESS || code == SQL_SUCCESS_WITH_INFO;
}

/// A diagnostic record as the fake itself posts it: "[fake_odbc]" + text.
inline Diagnostic fake_diagnostic(const std::string& sqlstate, const std::string& text) {
    return Diagnostic("[fake_odbc]" + text, sqlstate);
}

// --- statements -----------------------------------------------------------------

/// A column bound with SQLBindCol.
struct ColumnBinding {
    SQLSMALLINT c_type = 0;
    SQLPOINTER buffer = nullptr;
    SQLLEN buffer_length = 0;
    SQLLEN* indicator = nullptr;
};

/// A parameter bound with SQLBindParameter.
struct ParameterBinding {
    SQLSMALLINT io_type = 0;
    SQLSMALLINT c_type = 0;
    SQLSMALLINT sql_type = 0;
    SQLULEN column_size = 0;
    SQLSMALLINT decimal_digits = 0;
    SQLPOINTER buffer = nullptr;
    SQLLEN buffer_length = 0;
    SQLLEN* indicator = nullptr;
};

/// How far SQLGetData has read one column of the current row.
struct PieceProgress {
    std::size_t offset = 0;  ///< bytes of the converted value handed out so far
    bool finished = false;   ///< the whole value was handed out: the next call gets SQL_NO_DATA
};

/// The open cursor of an executed statement that returned rows.
struct Cursor {
    ResultSet result;
    std::size_t next_entry = 0;                    ///< the entry the next SQLFetch reads
    std::optional<std::size_t> current_row;        ///< the entry of the current row, if any
    std::size_t rowset_start = 0;                  ///< the entry of the rowset's first row
    std::size_t rowset_rows = 0;                   ///< the rows the latest SQLFetch delivered
    std::map<SQLUSMALLINT, PieceProgress> pieces;  ///< SQLGetData progress on the current row
};

// --- handles ----------------------------------------------------------------------

/// Everything the fake knows of one handle. Handles are never forgotten before
/// reset(): a freed one keeps its entry with `live` false.
struct HandleState {
    SQLSMALLINT type = 0;
    int serial = 0;  ///< allocation order within the type, from 1
    SQLHANDLE parent = SQL_NULL_HANDLE;
    bool live = true;
    std::vector<Diagnostic> diagnostics;

    // Environment.
    std::optional<long long> odbc_version;

    // Connection.
    bool connected = false;
    bool server_gone = false;  ///< lose_connection(): the driver has not noticed yet
    bool dead = false;         ///< the driver found the link broken

    // Statement.
    std::string prepared;  ///< the text of the last SQLPrepare
    std::map<SQLINTEGER, long long> attributes;
    std::optional<Cursor> cursor;
    std::map<SQLUSMALLINT, ColumnBinding> columns;
    std::map<SQLUSMALLINT, ParameterBinding> parameters;
};

// --- scripts ------------------------------------------------------------------------

/// The scripted outcomes of one function.
struct Script {
    int calls = 0;                  ///< calls of the function since reset()
    std::map<int, Outcome> at;      ///< by call number
    std::deque<Outcome> queue;      ///< for the next calls
    std::optional<Outcome> always;  ///< for every call
};

/// The whole state of the fake.
struct State {
    std::map<SQLHANDLE, HandleState> handles;
    std::map<SQLSMALLINT, int> serials;     ///< last serial per handle type
    std::map<SQLSMALLINT, SQLHANDLE> last;  ///< last handle per handle type
    std::vector<SQLHANDLE> allocation_order;

    std::map<Fn, Script> scripts;
    std::map<std::string, ResultSet> result_sets_by_text;
    std::deque<ResultSet> queued_result_sets;
    std::map<int, Value> parameter_outputs;
    DriverInfo driver_info;
    SQLLEN row_count = -1;
    std::vector<SQLUSMALLINT> parameter_status;

    std::vector<Call> log;
};

State& state();

/// Held by every ODBC function of the fake while it runs.
std::recursive_mutex& state_mutex();

/// Blocks here when block_next_call() armed `fn`, until it is released.
void pass_gate(Fn fn);

/// Wakes wait_for_calls(); called with state_mutex() held, after a call is logged.
void call_logged();

/// The live handle `handle` of type `type`; nullptr when there is none.
HandleState* find_live(SQLHANDLE handle, SQLSMALLINT type);

/// Allocates a new handle of `type` under `parent`.
SQLHANDLE new_handle(SQLSMALLINT type, SQLHANDLE parent);

/// Counts a call of `fn` and takes its scripted outcome, if any.
std::optional<Outcome> next_outcome(Fn fn);

// --- values ---------------------------------------------------------------------------

/// A value converted to a C type.
struct Image {
    bool variable = false;               ///< character or binary data, handed out in pieces
    bool is_char = false;                ///< a terminating NUL follows every piece
    std::string bytes;                   ///< the converted bytes (fixed types: the native image)
    bool fractional_truncation = false;  ///< a fraction was dropped (01S07)
};

/// Converts `value` (not NULL) to C type `c_type`; on failure returns the
/// diagnostic record of the error.
std::optional<Diagnostic> to_image(const Value& value, SQLSMALLINT c_type, Image& image);

/// True when the fake knows C type `c_type` (SQL_C_CHAR, SQL_C_BINARY and the
/// numeric ones). SQL_C_WCHAR is known but not convertible to.
bool is_known_c_type(SQLSMALLINT c_type);

/// The size of a fixed-size C type; 0 for character and binary data.
std::size_t fixed_size(SQLSMALLINT c_type);

/// One piece of a value as written into a buffer.
struct Piece {
    std::size_t taken = 0;   ///< bytes of the image handed out
    SQLLEN indicator = 0;    ///< what goes into the length/indicator
    bool truncated = false;  ///< not everything that remained fitted
    std::string written;     ///< the bytes written into the buffer, NUL included
};

/// Writes the part of `image` from `offset` on into `buffer` of
/// `buffer_length` bytes, with ODBC's rules: character data gets a terminating
/// NUL and at most buffer_length - 1 characters; binary data at most
/// buffer_length bytes; a fixed-size value is written whole, whatever
/// buffer_length says. The length/indicator is the length of what remained
/// before this piece, or SQL_NO_TOTAL when `no_total` and it did not fit.
Piece write_piece(const Image& image, std::size_t offset, bool no_total, bool unterminated,
                  SQLPOINTER buffer, SQLLEN buffer_length);

}  // namespace zel::sql::test::fake_odbc::detail

#endif  // ZEL_SQL_TESTS_FAKE_ODBC_STATE_H_
