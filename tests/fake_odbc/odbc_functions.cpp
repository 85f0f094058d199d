// The ODBC functions of the fake, with C linkage and unixODBC's signatures.
//
// Every function has the same shape: it builds the Call record with all its
// arguments, hands the call to run(), which validates the handle, clears the
// handle's diagnostics, applies a scripted outcome or else the natural
// behaviour (a function in the unnamed namespace below), and logs the call.

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fake_odbc_state.h"

namespace zel::sql::test::fake_odbc::detail {
namespace {

// --- recording ------------------------------------------------------------------

Arg number_arg(long long number) {
    return Arg{number, nullptr};
}

Arg pointer_arg(const void* pointer) {
    return Arg{static_cast<long long>(reinterpret_cast<std::intptr_t>(pointer)), pointer};
}

// A text passed with a length, as the driver would read it.
std::optional<std::string> text_arg(const SQLCHAR* text, long long length) {
    if (text == nullptr) {
        return std::nullopt;
    }
    const char* chars = reinterpret_cast<const char*>(text);
    if (length == SQL_NTS) {
        return std::string(chars);
    }
    if (length < 0) {
        return std::string();
    }
    return std::string(chars, static_cast<std::size_t>(length));
}

// --- the common shape of a call -------------------------------------------------

// The natural behaviour of a call on its (validated) handle; nullptr for the
// handle-less SQLAllocHandle(SQL_HANDLE_ENV).
template <typename Natural>
SQLRETURN run(Call call, SQLHANDLE handle, SQLSMALLINT handle_type, bool clears_diagnostics,
              Natural natural) {
    detail::pass_gate(call.fn);
    const std::lock_guard<std::recursive_mutex> lock(detail::state_mutex());
    const std::optional<Outcome> outcome = next_outcome(call.fn);

    HandleState* h = nullptr;
    SQLRETURN result = SQL_SUCCESS;
    if (handle_type != 0) {
        h = find_live(handle, handle_type);
        if (h == nullptr) {
            result = SQL_INVALID_HANDLE;
        }
    }
    if (result != SQL_INVALID_HANDLE) {
        if (h != nullptr && clears_diagnostics) {
            h->diagnostics.clear();
        }
        if (outcome && !succeeded(outcome->code)) {
            if (h != nullptr) {
                h->diagnostics = outcome->diagnostics;
            }
            result = outcome->code;
        } else {
            result = static_cast<SQLRETURN>(natural(h, call));
            if (outcome && succeeded(result)) {
                result = outcome->code;
                if (h != nullptr) {
                    h->diagnostics.insert(h->diagnostics.end(), outcome->diagnostics.begin(),
                                          outcome->diagnostics.end());
                }
            }
        }
    }
    call.result = result;
    state().log.push_back(std::move(call));
    detail::call_logged();
    return result;
}

// Posts a diagnostic record and returns SQL_ERROR.
SQLRETURN fail(HandleState* h, const std::string& sqlstate, const std::string& text) {
    if (h != nullptr) {
        h->diagnostics.push_back(fake_diagnostic(sqlstate, text));
    }
    return SQL_ERROR;
}

SQLRETURN with_info(HandleState* h, const std::string& sqlstate, const std::string& text) {
    h->diagnostics.push_back(fake_diagnostic(sqlstate, text));
    return SQL_SUCCESS_WITH_INFO;
}

bool is_output(SQLSMALLINT io_type) {
    return io_type == SQL_PARAM_OUTPUT || io_type == SQL_PARAM_INPUT_OUTPUT ||
           io_type == SQL_PARAM_OUTPUT_STREAM || io_type == SQL_PARAM_INPUT_OUTPUT_STREAM;
}

bool is_input(SQLSMALLINT io_type) {
    return io_type == SQL_PARAM_INPUT || io_type == SQL_PARAM_INPUT_OUTPUT ||
           io_type == SQL_PARAM_INPUT_OUTPUT_STREAM;
}

// Writes a whole value into a bound buffer (a column at SQLFetch, an output
// parameter at SQLExecDirect). NULL leaves the buffer untouched and writes
// SQL_NULL_DATA. Returns SQL_SUCCESS, SQL_SUCCESS_WITH_INFO (truncation, with
// a record posted) or SQL_ERROR (with a record posted).
SQLRETURN write_bound(HandleState& h, const Value& value, SQLSMALLINT c_type, SQLPOINTER buffer,
                      SQLLEN buffer_length, SQLLEN* indicator) {
    if (value.kind == Value::Kind::null) {
        if (indicator == nullptr) {
            return fail(&h, "22002", "Indicator variable required but not supplied");
        }
        *indicator = SQL_NULL_DATA;
        return SQL_SUCCESS;
    }
    Image image;
    if (auto error = to_image(value, c_type, image)) {
        h.diagnostics.push_back(*error);
        return SQL_ERROR;
    }
    const Piece piece =
        write_piece(image, 0, value.no_total, value.unterminated, buffer, buffer_length);
    if (indicator != nullptr) {
        *indicator = piece.indicator;
    }
    if (piece.truncated) {
        return with_info(&h, "01004", "String data, right truncated");
    }
    if (image.fractional_truncation) {
        return with_info(&h, "01S07", "Fractional truncation");
    }
    return SQL_SUCCESS;
}

// Combines the codes of several writes: an error wins, then a warning.
SQLRETURN combine(SQLRETURN so_far, SQLRETURN next) {
    if (so_far == SQL_ERROR || next == SQL_ERROR) {
        return SQL_ERROR;
    }
    if (so_far == SQL_SUCCESS_WITH_INFO || next == SQL_SUCCESS_WITH_INFO) {
        return SQL_SUCCESS_WITH_INFO;
    }
    return SQL_SUCCESS;
}

// --- natural behaviour: handles ----------------------------------------------------

SQLRETURN alloc_handle(SQLSMALLINT type, SQLHANDLE input, SQLHANDLE* output, HandleState* parent,
                       Call& call) {
    if (output == nullptr) {
        return fail(parent, "HY009", "Invalid use of null pointer");
    }
    switch (type) {
        case SQL_HANDLE_ENV:
            break;
        case SQL_HANDLE_DBC:
            if (!parent->odbc_version) {
                return fail(parent, "HY010", "Function sequence error (no SQL_ATTR_ODBC_VERSION)");
            }
            break;
        case SQL_HANDLE_STMT:
            if (!parent->connected) {
                return fail(parent, "08003", "Connection not open");
            }
            break;
        default:
            return fail(parent, "HY092", "Invalid attribute/option identifier");
    }
    *output = new_handle(type, input);
    call.output_handle = *output;
    return SQL_SUCCESS;
}

bool has_live_children(SQLHANDLE parent) {
    for (const auto& [handle, h] : state().handles) {
        if (h.live && h.parent == parent) {
            return true;
        }
    }
    return false;
}

SQLRETURN free_handle(HandleState& h, SQLHANDLE handle) {
    if (h.type == SQL_HANDLE_DBC && h.connected) {
        return fail(&h, "HY010", "Function sequence error (connection still open)");
    }
    if (has_live_children(handle)) {
        return fail(&h, "HY010", "Function sequence error (handle still has child handles)");
    }
    h.live = false;
    h.diagnostics.clear();
    return SQL_SUCCESS;
}

// --- natural behaviour: statements --------------------------------------------------

// The result set that an execution of `sql` opens.
std::optional<ResultSet> take_result_set(const std::string& sql) {
    State& s = state();
    auto by_text = s.result_sets_by_text.find(sql);
    if (by_text != s.result_sets_by_text.end()) {
        return by_text->second;
    }
    if (!s.queued_result_sets.empty()) {
        ResultSet result = std::move(s.queued_result_sets.front());
        s.queued_result_sets.pop_front();
        return result;
    }
    return std::nullopt;
}

std::vector<ParameterSnapshot> snapshot_inputs(const HandleState& h) {
    std::vector<ParameterSnapshot> snapshots;
    for (const auto& [number, p] : h.parameters) {
        if (!is_input(p.io_type)) {
            continue;
        }
        ParameterSnapshot snap;
        snap.number = number;
        snap.io_type = p.io_type;
        snap.indicator = p.indicator != nullptr ? *p.indicator : SQL_NTS;
        const char* bytes = static_cast<const char*>(p.buffer);
        if (bytes != nullptr && snap.indicator != SQL_NULL_DATA) {
            std::size_t length = fixed_size(p.c_type);
            if (length == 0) {
                if (snap.indicator == SQL_NTS) {
                    length = std::strlen(bytes);
                } else if (snap.indicator >= 0) {
                    length = static_cast<std::size_t>(
                        snap.indicator < p.buffer_length ? snap.indicator : p.buffer_length);
                }
            }
            snap.bytes.assign(bytes, length);
        }
        snapshots.push_back(std::move(snap));
    }
    return snapshots;
}

SQLRETURN exec_direct(HandleState& h, const SQLCHAR* text, SQLINTEGER length, Call& call) {
    if (text == nullptr) {
        return fail(&h, "HY009", "Invalid use of null pointer");
    }
    if (length < 0 && length != SQL_NTS) {
        return fail(&h, "HY090", "Invalid string or buffer length");
    }
    if (h.cursor) {
        return fail(&h, "24000", "Invalid cursor state");
    }
    if (HandleState* conn = find_live(h.parent, SQL_HANDLE_DBC); conn && conn->server_gone) {
        conn->dead = true;
        return fail(&h, "08S01", "Communication link failure");
    }
    const std::optional<ResultSet> result = take_result_set(call.text(0));
    if (result && result->columns() > 0) {
        h.cursor = Cursor{*result, 0, std::nullopt, 0, 0, {}};
    }
    SQLRETURN code = SQL_SUCCESS;
    for (auto& [number, p] : h.parameters) {
        auto output = state().parameter_outputs.find(number);
        if (is_output(p.io_type) && output != state().parameter_outputs.end()) {
            code = combine(code, write_bound(h, output->second, p.c_type, p.buffer, p.buffer_length,
                                             p.indicator));
        }
    }
    return code;
}

// The pointer that a statement attribute holds, or null when it was never set.
template <typename T>
T* attribute_pointer(const HandleState& h, SQLINTEGER attribute) {
    const auto it = h.attributes.find(attribute);
    return it == h.attributes.end() ? nullptr
                                    : reinterpret_cast<T*>(static_cast<std::intptr_t>(it->second));
}

// Fills the bound buffers with the next rowset: SQL_ATTR_ROW_ARRAY_SIZE rows
// (1 when not set), column-wise, with the count and each row's status written
// where SQL_ATTR_ROWS_FETCHED_PTR and SQL_ATTR_ROW_STATUS_PTR point. A failed
// entry ends the rowset before it; a rowset that would begin with one fails.
SQLRETURN fetch(HandleState& h) {
    if (!h.cursor) {
        return fail(&h, "24000", "Invalid cursor state");
    }
    Cursor& cursor = *h.cursor;
    cursor.current_row.reset();
    cursor.pieces.clear();
    cursor.rowset_rows = 0;
    auto* fetched = attribute_pointer<SQLULEN>(h, SQL_ATTR_ROWS_FETCHED_PTR);
    auto* statuses = attribute_pointer<SQLUSMALLINT>(h, SQL_ATTR_ROW_STATUS_PTR);
    const auto size_it = h.attributes.find(SQL_ATTR_ROW_ARRAY_SIZE);
    const std::size_t array_size =
        size_it == h.attributes.end() ? 1 : static_cast<std::size_t>(size_it->second);
    if (fetched != nullptr) {
        *fetched = 0;
    }
    const auto& entries = cursor.result.entries();
    if (cursor.next_entry >= entries.size()) {
        return SQL_NO_DATA;
    }
    if (entries[cursor.next_entry].is_error) {
        h.diagnostics = entries[cursor.next_entry++].diagnostics;
        return SQL_ERROR;
    }
    const std::size_t first = cursor.next_entry;
    SQLRETURN code = SQL_SUCCESS;
    std::size_t row = 0;
    for (; row < array_size && cursor.next_entry < entries.size() &&
           !entries[cursor.next_entry].is_error;
         ++row) {
        const ResultSet::Entry& entry = entries[cursor.next_entry++];
        SQLRETURN row_code = SQL_SUCCESS;
        for (const auto& [column, b] : h.columns) {
            if (column > entry.values.size()) {
                return fail(&h, "07009", "Invalid descriptor index");
            }
            auto* buffer = b.buffer == nullptr
                               ? nullptr
                               : static_cast<char*>(b.buffer) +
                                     row * static_cast<std::size_t>(b.buffer_length);
            row_code =
                combine(row_code,
                        write_bound(h, entry.values[column - 1u], b.c_type, buffer, b.buffer_length,
                                    b.indicator == nullptr ? nullptr : b.indicator + row));
        }
        if (statuses != nullptr) {
            statuses[row] = row_code == SQL_SUCCESS ? SQL_ROW_SUCCESS
                            : row_code == SQL_ERROR ? SQL_ROW_ERROR
                                                    : SQL_ROW_SUCCESS_WITH_INFO;
        }
        code = combine(code, row_code);
    }
    for (std::size_t rest = row; statuses != nullptr && rest < array_size; ++rest) {
        statuses[rest] = SQL_ROW_NOROW;
    }
    if (fetched != nullptr) {
        *fetched = row;
    }
    cursor.rowset_start = first;
    cursor.rowset_rows = row;
    cursor.current_row = first;
    // A row that failed inside a rowset is reported through its status.
    return code == SQL_ERROR && array_size > 1 ? SQL_SUCCESS_WITH_INFO : code;
}

// SQL_POSITION only: makes row `row` (1-based) of the latest rowset current,
// with its SQLGetData progress started afresh.
SQLRETURN set_pos(HandleState& h, SQLSETPOSIROW row, SQLUSMALLINT operation) {
    if (!h.cursor || !h.cursor->current_row) {
        return fail(&h, "24000", "Invalid cursor state");
    }
    if (operation != SQL_POSITION) {
        return fail(&h, "HYC00", "Optional feature not implemented");
    }
    Cursor& cursor = *h.cursor;
    if (row == 0 || row > cursor.rowset_rows) {
        return fail(&h, "HY107", "Row value out of range");
    }
    cursor.current_row = cursor.rowset_start + static_cast<std::size_t>(row) - 1;
    cursor.pieces.clear();
    return SQL_SUCCESS;
}

SQLRETURN get_data(HandleState& h, SQLUSMALLINT column, SQLSMALLINT c_type, SQLPOINTER buffer,
                   SQLLEN buffer_length, SQLLEN* indicator, Call& call) {
    if (!h.cursor || !h.cursor->current_row) {
        return fail(&h, "24000", "Invalid cursor state");
    }
    Cursor& cursor = *h.cursor;
    if (column == 0 || column > cursor.result.columns()) {
        return fail(&h, "07009", "Invalid descriptor index");
    }
    if (buffer_length < 0) {
        return fail(&h, "HY090", "Invalid string or buffer length");
    }
    if (!is_known_c_type(c_type)) {
        return fail(&h, "HY003", "Invalid application buffer type");
    }
    PieceProgress& progress = cursor.pieces[column];
    if (progress.finished) {
        return SQL_NO_DATA;
    }
    const Value& value = cursor.result.entries()[*cursor.current_row].values[column - 1u];
    if (value.kind == Value::Kind::null) {
        if (indicator == nullptr) {
            return fail(&h, "22002", "Indicator variable required but not supplied");
        }
        *indicator = SQL_NULL_DATA;
        call.indicator = SQL_NULL_DATA;
        progress.finished = true;
        return SQL_SUCCESS;
    }
    Image image;
    if (auto error = to_image(value, c_type, image)) {
        h.diagnostics.push_back(*error);
        return SQL_ERROR;
    }
    const Piece piece =
        write_piece(image, progress.offset, value.no_total, false, buffer, buffer_length);
    if (indicator != nullptr) {
        *indicator = piece.indicator;
        call.indicator = piece.indicator;
    }
    call.written = piece.written;
    progress.offset += piece.taken;
    if (piece.truncated) {
        return with_info(&h, "01004", "String data, right truncated");
    }
    progress.finished = true;
    if (image.fractional_truncation) {
        return with_info(&h, "01S07", "Fractional truncation");
    }
    return SQL_SUCCESS;
}

// A statement that was executed and opened no cursor has no result columns;
// one that was never executed has nothing to describe.
SQLRETURN num_result_cols(HandleState& h, SQLSMALLINT* count) {
    if (count == nullptr) {
        return fail(&h, "HY009", "Invalid use of null pointer");
    }
    *count = static_cast<SQLSMALLINT>(h.cursor ? h.cursor->result.columns() : 0);
    return SQL_SUCCESS;
}

SQLRETURN describe_col(HandleState& h, SQLUSMALLINT column, SQLCHAR* name,
                       SQLSMALLINT buffer_length, SQLSMALLINT* name_length, SQLSMALLINT* data_type,
                       SQLULEN* column_size, SQLSMALLINT* decimal_digits, SQLSMALLINT* nullable) {
    if (!h.cursor) {
        return fail(&h, "07005", "Statement has no result set");
    }
    if (column == 0 || column > h.cursor->result.columns()) {
        return fail(&h, "07009", "Invalid descriptor index");
    }
    if (buffer_length < 0) {
        return fail(&h, "HY090", "Invalid string or buffer length");
    }
    const std::string text = h.cursor->result.name(column);
    if (name_length != nullptr) {
        *name_length = static_cast<SQLSMALLINT>(text.size());
    }
    bool truncated = false;
    if (name != nullptr && buffer_length > 0) {
        const auto room = static_cast<std::size_t>(buffer_length) - 1;
        const std::size_t n = text.size() < room ? text.size() : room;
        std::memcpy(name, text.data(), n);
        name[n] = '\0';
        truncated = n < text.size();
    }
    // Every column of the fake is described as variable-length text, of the
    // declared size or of unknown size.
    if (data_type != nullptr) {
        *data_type = SQL_VARCHAR;
    }
    if (column_size != nullptr) {
        *column_size = h.cursor->result.size(column);
    }
    if (decimal_digits != nullptr) {
        *decimal_digits = 0;
    }
    if (nullable != nullptr) {
        *nullable = SQL_NULLABLE_UNKNOWN;
    }
    return truncated ? with_info(&h, "01004", "String data, right truncated") : SQL_SUCCESS;
}

SQLRETURN bind_col(HandleState& h, SQLUSMALLINT column, SQLSMALLINT c_type, SQLPOINTER buffer,
                   SQLLEN buffer_length, SQLLEN* indicator) {
    if (column == 0 || (h.cursor && column > h.cursor->result.columns())) {
        return fail(&h, "07009", "Invalid descriptor index");
    }
    if (buffer_length < 0) {
        return fail(&h, "HY090", "Invalid string or buffer length");
    }
    if (buffer == nullptr) {
        h.columns.erase(column);  // unbinds, as in ODBC
        return SQL_SUCCESS;
    }
    if (!is_known_c_type(c_type)) {
        return fail(&h, "HY003", "Invalid application buffer type");
    }
    h.columns[column] = ColumnBinding{c_type, buffer, buffer_length, indicator};
    return SQL_SUCCESS;
}

SQLRETURN bind_parameter(HandleState& h, SQLUSMALLINT number, const ParameterBinding& binding) {
    if (number == 0) {
        return fail(&h, "07009", "Invalid descriptor index");
    }
    if (binding.io_type != SQL_PARAM_INPUT && !is_output(binding.io_type)) {
        return fail(&h, "HY105", "Invalid parameter type");
    }
    if (binding.buffer_length < 0) {
        return fail(&h, "HY090", "Invalid string or buffer length");
    }
    if (!is_known_c_type(binding.c_type)) {
        return fail(&h, "HY003", "Invalid application buffer type");
    }
    h.parameters[number] = binding;
    return SQL_SUCCESS;
}

SQLRETURN get_diag_rec(HandleState& h, SQLSMALLINT record, SQLCHAR* sqlstate,
                       SQLINTEGER* native_error, SQLCHAR* message, SQLSMALLINT buffer_length,
                       SQLSMALLINT* text_length) {
    if (record < 1 || buffer_length < 0) {
        return SQL_ERROR;
    }
    if (static_cast<std::size_t>(record) > h.diagnostics.size()) {
        return SQL_NO_DATA;
    }
    const Diagnostic& d = h.diagnostics[static_cast<std::size_t>(record) - 1];
    if (sqlstate != nullptr) {
        std::memset(sqlstate, 0, 6);
        std::memcpy(sqlstate, d.sqlstate.data(), d.sqlstate.size() < 5 ? d.sqlstate.size() : 5);
    }
    if (native_error != nullptr) {
        *native_error = d.native_error;
    }
    if (text_length != nullptr) {
        *text_length = static_cast<SQLSMALLINT>(d.message.size());
    }
    bool truncated = false;
    if (message != nullptr && buffer_length > 0) {
        const auto room = static_cast<std::size_t>(buffer_length) - 1;
        const std::size_t n = d.message.size() < room ? d.message.size() : room;
        std::memcpy(message, d.message.data(), n);
        message[n] = '\0';
        truncated = n < d.message.size();
    }
    return truncated ? SQL_SUCCESS_WITH_INFO : SQL_SUCCESS;
}

}  // namespace
}  // namespace zel::sql::test::fake_odbc::detail

// --- the ODBC functions -----------------------------------------------------------

// They have C linkage, so they live outside the fake's namespace.
namespace fake_odbc = zel::sql::test::fake_odbc;

using fake_odbc::Call;
using fake_odbc::Fn;
using fake_odbc::detail::HandleState;
using fake_odbc::detail::number_arg;
using fake_odbc::detail::pointer_arg;
using fake_odbc::detail::run;
using fake_odbc::detail::text_arg;

namespace {

Call make_call(Fn fn, std::vector<fake_odbc::Arg> args) {
    Call call;
    call.fn = fn;
    call.thread = std::this_thread::get_id();
    call.args = std::move(args);
    return call;
}

// The type of handle that the InputHandle of SQLAllocHandle must be.
SQLSMALLINT parent_type(SQLSMALLINT type) {
    switch (type) {
        case SQL_HANDLE_DBC:
            return SQL_HANDLE_ENV;
        case SQL_HANDLE_STMT:
            return SQL_HANDLE_DBC;
        default:
            return 0;
    }
}

bool is_handle_type(SQLSMALLINT type) {
    return type == SQL_HANDLE_ENV || type == SQL_HANDLE_DBC || type == SQL_HANDLE_STMT;
}

}  // namespace

extern "C" {

SQLRETURN SQL_API SQLAllocHandle(SQLSMALLINT HandleType, SQLHANDLE InputHandle,
                                 SQLHANDLE* OutputHandle) {
    if (OutputHandle != nullptr) {
        *OutputHandle = SQL_NULL_HANDLE;  // what a failed allocation leaves
    }
    Call call = make_call(Fn::alloc_handle, {number_arg(HandleType), pointer_arg(InputHandle),
                                             pointer_arg(OutputHandle)});
    return run(std::move(call), InputHandle, parent_type(HandleType), true,
               [&](HandleState* parent, Call& c) {
                   return fake_odbc::detail::alloc_handle(HandleType, InputHandle, OutputHandle,
                                                          parent, c);
               });
}

SQLRETURN SQL_API SQLFreeHandle(SQLSMALLINT HandleType, SQLHANDLE Handle) {
    Call call = make_call(Fn::free_handle, {number_arg(HandleType), pointer_arg(Handle)});
    if (!is_handle_type(HandleType)) {
        fake_odbc::detail::next_outcome(Fn::free_handle);
        call.result = SQL_INVALID_HANDLE;
        fake_odbc::detail::state().log.push_back(std::move(call));
        return SQL_INVALID_HANDLE;
    }
    return run(std::move(call), Handle, HandleType, true,
               [&](HandleState* h, Call&) { return fake_odbc::detail::free_handle(*h, Handle); });
}

SQLRETURN SQL_API SQLSetEnvAttr(SQLHENV EnvironmentHandle, SQLINTEGER Attribute, SQLPOINTER Value,
                                SQLINTEGER StringLength) {
    Call call = make_call(Fn::set_env_attr, {pointer_arg(EnvironmentHandle), number_arg(Attribute),
                                             pointer_arg(Value), number_arg(StringLength)});
    return run(
        std::move(call), EnvironmentHandle, SQL_HANDLE_ENV, true,
        [&](HandleState* h, Call&) -> SQLRETURN {
            if (Attribute != SQL_ATTR_ODBC_VERSION) {
                return SQL_SUCCESS;
            }
            const auto version = reinterpret_cast<std::intptr_t>(Value);
            if (version != SQL_OV_ODBC2 && version != SQL_OV_ODBC3 && version != SQL_OV_ODBC3_80) {
                return fake_odbc::detail::fail(h, "HY024", "Invalid attribute value");
            }
            h->odbc_version = version;
            return SQL_SUCCESS;
        });
}

SQLRETURN SQL_API SQLSetConnectAttr(SQLHDBC ConnectionHandle, SQLINTEGER Attribute,
                                    SQLPOINTER Value, SQLINTEGER StringLength) {
    Call call =
        make_call(Fn::set_connect_attr, {pointer_arg(ConnectionHandle), number_arg(Attribute),
                                         pointer_arg(Value), number_arg(StringLength)});
    return run(std::move(call), ConnectionHandle, SQL_HANDLE_DBC, true,
               [](HandleState*, Call&) { return SQL_SUCCESS; });
}

SQLRETURN SQL_API SQLGetConnectAttr(SQLHDBC ConnectionHandle, SQLINTEGER Attribute,
                                    SQLPOINTER Value, SQLINTEGER BufferLength,
                                    SQLINTEGER* StringLength) {
    Call call = make_call(Fn::get_connect_attr,
                          {pointer_arg(ConnectionHandle), number_arg(Attribute), pointer_arg(Value),
                           number_arg(BufferLength), pointer_arg(StringLength)});
    return run(std::move(call), ConnectionHandle, SQL_HANDLE_DBC, true,
               [&](HandleState* h, Call&) -> SQLRETURN {
                   if (Attribute != SQL_ATTR_CONNECTION_DEAD) {
                       return fake_odbc::detail::fail(h, "HYC00",
                                                      "Optional feature not implemented");
                   }
                   if (Value == nullptr) {
                       return fake_odbc::detail::fail(h, "HY009", "Invalid use of null pointer");
                   }
                   // An SQLUINTEGER attribute: four bytes, whatever BufferLength says.
                   const SQLUINTEGER dead = (!h->connected || h->dead) ? SQL_CD_TRUE : SQL_CD_FALSE;
                   std::memcpy(Value, &dead, sizeof(dead));
                   return SQL_SUCCESS;
               });
}

SQLRETURN SQL_API SQLSetStmtAttr(SQLHSTMT StatementHandle, SQLINTEGER Attribute, SQLPOINTER Value,
                                 SQLINTEGER StringLength) {
    Call call = make_call(Fn::set_stmt_attr, {pointer_arg(StatementHandle), number_arg(Attribute),
                                              pointer_arg(Value), number_arg(StringLength)});
    return run(std::move(call), StatementHandle, SQL_HANDLE_STMT, true, [&](HandleState* h, Call&) {
        h->attributes[Attribute] = static_cast<long long>(reinterpret_cast<std::intptr_t>(Value));
        return SQL_SUCCESS;
    });
}

SQLRETURN SQL_API SQLConnect(SQLHDBC ConnectionHandle, SQLCHAR* ServerName, SQLSMALLINT NameLength1,
                             SQLCHAR* UserName, SQLSMALLINT NameLength2, SQLCHAR* Authentication,
                             SQLSMALLINT NameLength3) {
    Call call = make_call(Fn::connect,
                          {pointer_arg(ConnectionHandle), pointer_arg(ServerName),
                           number_arg(NameLength1), pointer_arg(UserName), number_arg(NameLength2),
                           pointer_arg(Authentication), number_arg(NameLength3)});
    call.texts = {text_arg(ServerName, NameLength1), text_arg(UserName, NameLength2),
                  text_arg(Authentication, NameLength3)};
    return run(std::move(call), ConnectionHandle, SQL_HANDLE_DBC, true,
               [&](HandleState* h, Call&) -> SQLRETURN {
                   for (const SQLSMALLINT length : {NameLength1, NameLength2, NameLength3}) {
                       if (length < 0 && length != SQL_NTS) {
                           return fake_odbc::detail::fail(h, "HY090",
                                                          "Invalid string or buffer length");
                       }
                   }
                   if (h->connected) {
                       return fake_odbc::detail::fail(h, "08002", "Connection name in use");
                   }
                   h->connected = true;
                   return SQL_SUCCESS;
               });
}

SQLRETURN SQL_API SQLDisconnect(SQLHDBC ConnectionHandle) {
    Call call = make_call(Fn::disconnect, {pointer_arg(ConnectionHandle)});
    return run(std::move(call), ConnectionHandle, SQL_HANDLE_DBC, true,
               [&](HandleState* h, Call&) -> SQLRETURN {
                   if (!h->connected) {
                       return fake_odbc::detail::fail(h, "08003", "Connection not open");
                   }
                   h->connected = false;
                   h->server_gone = false;
                   h->dead = false;
                   // ODBC 3: the driver frees the statements still allocated.
                   for (auto& [handle, child] : fake_odbc::detail::state().handles) {
                       if (child.live && child.parent == ConnectionHandle) {
                           child.live = false;
                       }
                   }
                   return SQL_SUCCESS;
               });
}

SQLRETURN SQL_API SQLEndTran(SQLSMALLINT HandleType, SQLHANDLE Handle, SQLSMALLINT CompletionType) {
    Call call = make_call(
        Fn::end_tran, {number_arg(HandleType), pointer_arg(Handle), number_arg(CompletionType)});
    if (HandleType != SQL_HANDLE_DBC) {
        // The library ends transactions per connection only.
        fake_odbc::detail::next_outcome(Fn::end_tran);
        call.result = SQL_INVALID_HANDLE;
        fake_odbc::detail::state().log.push_back(std::move(call));
        return SQL_INVALID_HANDLE;
    }
    return run(
        std::move(call), Handle, SQL_HANDLE_DBC, true, [&](HandleState* h, Call&) -> SQLRETURN {
            if (!h->connected) {
                return fake_odbc::detail::fail(h, "08003", "Connection not open");
            }
            if (CompletionType != SQL_COMMIT && CompletionType != SQL_ROLLBACK) {
                return fake_odbc::detail::fail(h, "HY012", "Invalid transaction operation code");
            }
            return SQL_SUCCESS;
        });
}

SQLRETURN SQL_API SQLExecDirect(SQLHSTMT StatementHandle, SQLCHAR* StatementText,
                                SQLINTEGER TextLength) {
    Call call = make_call(Fn::exec_direct, {pointer_arg(StatementHandle),
                                            pointer_arg(StatementText), number_arg(TextLength)});
    call.texts = {text_arg(StatementText, TextLength)};
    if (const HandleState* h = fake_odbc::detail::find_live(StatementHandle, SQL_HANDLE_STMT)) {
        call.parameters = fake_odbc::detail::snapshot_inputs(*h);
    }
    return run(std::move(call), StatementHandle, SQL_HANDLE_STMT, true,
               [&](HandleState* h, Call& c) {
                   return fake_odbc::detail::exec_direct(*h, StatementText, TextLength, c);
               });
}

SQLRETURN SQL_API SQLPrepare(SQLHSTMT StatementHandle, SQLCHAR* StatementText,
                             SQLINTEGER TextLength) {
    Call call = make_call(Fn::prepare, {pointer_arg(StatementHandle), pointer_arg(StatementText),
                                        number_arg(TextLength)});
    call.texts = {text_arg(StatementText, TextLength)};
    const std::optional<std::string> text = call.texts[0];
    return run(std::move(call), StatementHandle, SQL_HANDLE_STMT, true,
               [&](HandleState* h, Call&) -> SQLRETURN {
                   if (!text) {
                       return fake_odbc::detail::fail(h, "HY009", "Invalid use of null pointer");
                   }
                   h->prepared = *text;
                   return SQL_SUCCESS;
               });
}

SQLRETURN SQL_API SQLNumParams(SQLHSTMT StatementHandle, SQLSMALLINT* ParameterCount) {
    Call call =
        make_call(Fn::num_params, {pointer_arg(StatementHandle), pointer_arg(ParameterCount)});
    return run(std::move(call), StatementHandle, SQL_HANDLE_STMT, true, [&](HandleState* h, Call&) {
        *ParameterCount =
            static_cast<SQLSMALLINT>(std::count(h->prepared.begin(), h->prepared.end(), '?'));
        return static_cast<SQLRETURN>(SQL_SUCCESS);
    });
}

SQLRETURN SQL_API SQLExecute(SQLHSTMT StatementHandle) {
    Call call = make_call(Fn::execute, {pointer_arg(StatementHandle)});
    if (const HandleState* h = fake_odbc::detail::find_live(StatementHandle, SQL_HANDLE_STMT)) {
        call.texts = {h->prepared};
        call.parameters = fake_odbc::detail::snapshot_inputs(*h);
        const std::vector<SQLUSMALLINT>& status = fake_odbc::detail::state().parameter_status;
        const auto at = [h](SQLINTEGER attribute) -> void* {
            const auto it = h->attributes.find(attribute);
            return it == h->attributes.end()
                       ? nullptr
                       : reinterpret_cast<void*>(static_cast<std::intptr_t>(it->second));
        };
        if (auto* out = static_cast<SQLUSMALLINT*>(at(SQL_ATTR_PARAM_STATUS_PTR));
            out != nullptr && !status.empty()) {
            std::copy(status.begin(), status.end(), out);
            if (auto* processed = static_cast<SQLULEN*>(at(SQL_ATTR_PARAMS_PROCESSED_PTR))) {
                *processed = status.size();
            }
        }
    }
    return run(
        std::move(call), StatementHandle, SQL_HANDLE_STMT, true, [&](HandleState* h, Call& c) {
            const std::string text = h->prepared;
            return fake_odbc::detail::exec_direct(*h,
                                                  reinterpret_cast<const SQLCHAR*>(text.c_str()),
                                                  static_cast<SQLINTEGER>(text.size()), c);
        });
}

SQLRETURN SQL_API SQLRowCount(SQLHSTMT StatementHandle, SQLLEN* RowCount) {
    Call call = make_call(Fn::row_count, {pointer_arg(StatementHandle), pointer_arg(RowCount)});
    return run(std::move(call), StatementHandle, SQL_HANDLE_STMT, true, [&](HandleState*, Call&) {
        *RowCount = fake_odbc::detail::state().row_count;
        return static_cast<SQLRETURN>(SQL_SUCCESS);
    });
}

SQLRETURN SQL_API SQLMoreResults(SQLHSTMT StatementHandle) {
    Call call = make_call(Fn::more_results, {pointer_arg(StatementHandle)});
    return run(std::move(call), StatementHandle, SQL_HANDLE_STMT, true,
               [](HandleState*, Call&) { return static_cast<SQLRETURN>(SQL_NO_DATA); });
}

SQLRETURN SQL_API SQLFetch(SQLHSTMT StatementHandle) {
    Call call = make_call(Fn::fetch, {pointer_arg(StatementHandle)});
    return run(std::move(call), StatementHandle, SQL_HANDLE_STMT, true,
               [](HandleState* h, Call&) { return fake_odbc::detail::fetch(*h); });
}

SQLRETURN SQL_API SQLSetPos(SQLHSTMT StatementHandle, SQLSETPOSIROW RowNumber,
                            SQLUSMALLINT Operation, SQLUSMALLINT LockType) {
    Call call = make_call(
        Fn::set_pos, {pointer_arg(StatementHandle), number_arg(static_cast<long long>(RowNumber)),
                      number_arg(Operation), number_arg(LockType)});
    return run(std::move(call), StatementHandle, SQL_HANDLE_STMT, true, [&](HandleState* h, Call&) {
        return fake_odbc::detail::set_pos(*h, RowNumber, Operation);
    });
}

SQLRETURN SQL_API SQLFreeStmt(SQLHSTMT StatementHandle, SQLUSMALLINT Option) {
    Call call = make_call(Fn::free_stmt, {pointer_arg(StatementHandle), number_arg(Option)});
    return run(std::move(call), StatementHandle, SQL_HANDLE_STMT, true, [&](HandleState* h, Call&) {
        if (Option != SQL_UNBIND) {
            return fake_odbc::detail::fail(h, "HYC00", "Optional feature not implemented");
        }
        h->columns.clear();
        return static_cast<SQLRETURN>(SQL_SUCCESS);
    });
}

SQLRETURN SQL_API SQLCancel(SQLHSTMT StatementHandle) {
    Call call = make_call(Fn::cancel, {pointer_arg(StatementHandle)});
    // With nothing running asynchronously, SQLCancel has no effect (ODBC 3).
    return run(std::move(call), StatementHandle, SQL_HANDLE_STMT, true,
               [](HandleState*, Call&) { return SQL_SUCCESS; });
}

SQLRETURN SQL_API SQLGetData(SQLHSTMT StatementHandle, SQLUSMALLINT ColumnNumber,
                             SQLSMALLINT TargetType, SQLPOINTER TargetValue, SQLLEN BufferLength,
                             SQLLEN* StrLen_or_Ind) {
    Call call = make_call(Fn::get_data, {pointer_arg(StatementHandle), number_arg(ColumnNumber),
                                         number_arg(TargetType), pointer_arg(TargetValue),
                                         number_arg(BufferLength), pointer_arg(StrLen_or_Ind)});
    return run(std::move(call), StatementHandle, SQL_HANDLE_STMT, true,
               [&](HandleState* h, Call& c) {
                   return fake_odbc::detail::get_data(*h, ColumnNumber, TargetType, TargetValue,
                                                      BufferLength, StrLen_or_Ind, c);
               });
}

SQLRETURN SQL_API SQLBindCol(SQLHSTMT StatementHandle, SQLUSMALLINT ColumnNumber,
                             SQLSMALLINT TargetType, SQLPOINTER TargetValue, SQLLEN BufferLength,
                             SQLLEN* StrLen_or_Ind) {
    Call call = make_call(Fn::bind_col, {pointer_arg(StatementHandle), number_arg(ColumnNumber),
                                         number_arg(TargetType), pointer_arg(TargetValue),
                                         number_arg(BufferLength), pointer_arg(StrLen_or_Ind)});
    return run(std::move(call), StatementHandle, SQL_HANDLE_STMT, true, [&](HandleState* h, Call&) {
        return fake_odbc::detail::bind_col(*h, ColumnNumber, TargetType, TargetValue, BufferLength,
                                           StrLen_or_Ind);
    });
}

SQLRETURN SQL_API SQLBindParameter(SQLHSTMT hstmt, SQLUSMALLINT ipar, SQLSMALLINT fParamType,
                                   SQLSMALLINT fCType, SQLSMALLINT fSqlType, SQLULEN cbColDef,
                                   SQLSMALLINT ibScale, SQLPOINTER rgbValue, SQLLEN cbValueMax,
                                   SQLLEN* pcbValue) {
    Call call = make_call(
        Fn::bind_parameter,
        {pointer_arg(hstmt), number_arg(ipar), number_arg(fParamType), number_arg(fCType),
         number_arg(fSqlType), number_arg(static_cast<long long>(cbColDef)), number_arg(ibScale),
         pointer_arg(rgbValue), number_arg(cbValueMax), pointer_arg(pcbValue)});
    const fake_odbc::detail::ParameterBinding binding{fParamType, fCType,   fSqlType,   cbColDef,
                                                      ibScale,    rgbValue, cbValueMax, pcbValue};
    return run(std::move(call), hstmt, SQL_HANDLE_STMT, true, [&](HandleState* h, Call&) {
        return fake_odbc::detail::bind_parameter(*h, ipar, binding);
    });
}

SQLRETURN SQL_API SQLNumResultCols(SQLHSTMT StatementHandle, SQLSMALLINT* ColumnCount) {
    Call call =
        make_call(Fn::num_result_cols, {pointer_arg(StatementHandle), pointer_arg(ColumnCount)});
    return run(std::move(call), StatementHandle, SQL_HANDLE_STMT, true, [&](HandleState* h, Call&) {
        return fake_odbc::detail::num_result_cols(*h, ColumnCount);
    });
}

SQLRETURN SQL_API SQLDescribeCol(SQLHSTMT StatementHandle, SQLUSMALLINT ColumnNumber,
                                 SQLCHAR* ColumnName, SQLSMALLINT BufferLength,
                                 SQLSMALLINT* NameLength, SQLSMALLINT* DataType,
                                 SQLULEN* ColumnSize, SQLSMALLINT* DecimalDigits,
                                 SQLSMALLINT* Nullable) {
    Call call =
        make_call(Fn::describe_col,
                  {pointer_arg(StatementHandle), number_arg(ColumnNumber), pointer_arg(ColumnName),
                   number_arg(BufferLength), pointer_arg(NameLength), pointer_arg(DataType),
                   pointer_arg(ColumnSize), pointer_arg(DecimalDigits), pointer_arg(Nullable)});
    return run(std::move(call), StatementHandle, SQL_HANDLE_STMT, true, [&](HandleState* h, Call&) {
        return fake_odbc::detail::describe_col(*h, ColumnNumber, ColumnName, BufferLength,
                                               NameLength, DataType, ColumnSize, DecimalDigits,
                                               Nullable);
    });
}

SQLRETURN SQL_API SQLGetDiagRec(SQLSMALLINT HandleType, SQLHANDLE Handle, SQLSMALLINT RecNumber,
                                SQLCHAR* Sqlstate, SQLINTEGER* NativeError, SQLCHAR* MessageText,
                                SQLSMALLINT BufferLength, SQLSMALLINT* TextLength) {
    Call call = make_call(Fn::get_diag_rec, {number_arg(HandleType), pointer_arg(Handle),
                                             number_arg(RecNumber), pointer_arg(Sqlstate),
                                             pointer_arg(NativeError), pointer_arg(MessageText),
                                             number_arg(BufferLength), pointer_arg(TextLength)});
    if (!is_handle_type(HandleType)) {
        fake_odbc::detail::next_outcome(Fn::get_diag_rec);
        call.result = SQL_INVALID_HANDLE;
        fake_odbc::detail::state().log.push_back(std::move(call));
        return SQL_INVALID_HANDLE;
    }
    // SQLGetDiagRec reads the records and never clears them.
    return run(std::move(call), Handle, HandleType, false, [&](HandleState* h, Call&) {
        return fake_odbc::detail::get_diag_rec(*h, RecNumber, Sqlstate, NativeError, MessageText,
                                               BufferLength, TextLength);
    });
}

SQLRETURN SQL_API SQLGetInfo(SQLHDBC ConnectionHandle, SQLUSMALLINT InfoType, SQLPOINTER InfoValue,
                             SQLSMALLINT BufferLength, SQLSMALLINT* StringLength) {
    Call call = make_call(
        Fn::get_info, {pointer_arg(ConnectionHandle), number_arg(InfoType), pointer_arg(InfoValue),
                       number_arg(BufferLength), pointer_arg(StringLength)});
    return run(
        std::move(call), ConnectionHandle, SQL_HANDLE_DBC, true,
        [&](HandleState* h, Call&) -> SQLRETURN {
            const fake_odbc::DriverInfo& info = fake_odbc::detail::state().driver_info;
            if (InfoValue == nullptr) {
                return fake_odbc::detail::fail(h, "HY009", "Invalid use of null pointer");
            }
            for (const auto& [type, number] :
                 {std::pair{SQL_PARAM_ARRAY_ROW_COUNTS, info.param_array_row_counts},
                  std::pair{SQL_PARAM_ARRAY_SELECTS, info.param_array_selects}}) {
                if (InfoType == type && number != 0) {
                    std::memcpy(InfoValue, &number, sizeof(number));
                    return SQL_SUCCESS;
                }
            }
            if (InfoType == SQL_GETDATA_EXTENSIONS) {
                std::memcpy(InfoValue, &info.getdata_extensions, sizeof(info.getdata_extensions));
                return SQL_SUCCESS;
            }
            const std::string* text = nullptr;
            switch (InfoType) {
                case SQL_DRIVER_NAME:
                    text = &info.name;
                    break;
                case SQL_DRIVER_VER:
                    text = &info.version;
                    break;
                case SQL_DRIVER_ODBC_VER:
                    text = &info.odbc_version;
                    break;
                case SQL_DBMS_NAME:
                    text = &info.dbms_name;
                    break;
                case SQL_DBMS_VER:
                    text = &info.dbms_version;
                    break;
                default:
                    return fake_odbc::detail::fail(h, "HY096", "Information type out of range");
            }
            if (StringLength != nullptr) {
                *StringLength = static_cast<SQLSMALLINT>(text->size());
            }
            if (BufferLength <= 0) {
                return SQL_SUCCESS_WITH_INFO;
            }
            const std::size_t n =
                std::min(text->size(), static_cast<std::size_t>(BufferLength) - 1);
            std::memcpy(InfoValue, text->data(), n);
            static_cast<char*>(InfoValue)[n] = '\0';
            return n < text->size() ? SQL_SUCCESS_WITH_INFO : SQL_SUCCESS;
        });
}

SQLRETURN SQL_API SQLGetFunctions(SQLHDBC ConnectionHandle, SQLUSMALLINT FunctionId,
                                  SQLUSMALLINT* Supported) {
    Call call = make_call(Fn::get_functions, {pointer_arg(ConnectionHandle), number_arg(FunctionId),
                                              pointer_arg(Supported)});
    return run(std::move(call), ConnectionHandle, SQL_HANDLE_DBC, true,
               [&](HandleState* h, Call&) -> SQLRETURN {
                   if (Supported == nullptr) {
                       return fake_odbc::detail::fail(h, "HY009", "Invalid use of null pointer");
                   }
                   if (FunctionId != SQL_API_SQLSETPOS) {
                       return fake_odbc::detail::fail(h, "HY095", "Function type out of range");
                   }
                   *Supported =
                       fake_odbc::detail::state().driver_info.set_pos ? SQL_TRUE : SQL_FALSE;
                   return SQL_SUCCESS;
               });
}

SQLRETURN SQL_API SQLColAttribute(SQLHSTMT StatementHandle, SQLUSMALLINT ColumnNumber,
                                  SQLUSMALLINT FieldIdentifier, SQLPOINTER CharacterAttribute,
                                  SQLSMALLINT BufferLength, SQLSMALLINT* StringLength,
                                  SQLLEN* NumericAttribute) {
    Call call =
        make_call(Fn::col_attribute, {pointer_arg(StatementHandle), number_arg(ColumnNumber),
                                      number_arg(FieldIdentifier), pointer_arg(CharacterAttribute),
                                      number_arg(BufferLength), pointer_arg(StringLength),
                                      pointer_arg(NumericAttribute)});
    return run(std::move(call), StatementHandle, SQL_HANDLE_STMT, true,
               [&](HandleState* h, Call&) -> SQLRETURN {
                   if (FieldIdentifier != SQL_DESC_UNSIGNED || NumericAttribute == nullptr) {
                       return fake_odbc::detail::fail(h, "HY091",
                                                      "Invalid descriptor field identifier");
                   }
                   *NumericAttribute = SQL_FALSE;
                   return SQL_SUCCESS;
               });
}

}  // extern "C"
