#include "zel/sql/handles.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "odbc/bounded_wait.h"
#include "odbc/column_reader.h"
#include "odbc/connection_state.h"
#include "odbc/odbc_rules.h"
#include "util/string.h"
#include "zel/Error.h"

namespace zel::sql {
namespace {

using odbc::require_allocated;
using odbc::succeeded;

using odbc::throw_statement_error;

// ODBC takes column and parameter numbers as 16-bit unsigned values; the low
// 16 bits of the int are kept.
SQLUSMALLINT to_odbc_number(int number) noexcept {
    return static_cast<SQLUSMALLINT>(number);
}

template <typename RawHandle>
void release(SQLSMALLINT handle_type, RawHandle handle, bool& is_allocated) noexcept {
    if (is_allocated) {
        SQLFreeHandle(handle_type, handle);
        is_allocated = false;
    }
}

template <typename HandleObject, typename RawHandle>
void take_over(HandleObject& target, RawHandle& handle, bool& is_allocated, RawHandle& other_handle,
               bool& other_is_allocated) noexcept {
    target.free();
    handle = other_handle;
    is_allocated = other_is_allocated;
    other_is_allocated = false;
}

}  // namespace

// --- EnvironmentHandle ---------------------------------------------------

EnvironmentHandle::EnvironmentHandle(EnvironmentHandle&& other) noexcept {
    *this = std::move(other);
}

EnvironmentHandle& EnvironmentHandle::operator=(EnvironmentHandle&& other) noexcept {
    if (this != &other) {
        take_over(*this, handle_, is_allocated_, other.handle_, other.is_allocated_);
    }
    return *this;
}

EnvironmentHandle::~EnvironmentHandle() {
    free();
}

void EnvironmentHandle::free() noexcept {
    release(SQL_HANDLE_ENV, handle_, is_allocated_);
}

void EnvironmentHandle::alloc() {
    if (is_allocated_) {
        throw Error("Refusing to allocate an already allocated SQL environment handle");
    }
    if (!succeeded(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &handle_))) {
        throw Error("Unable to allocate SQL environment handle");
    }
    is_allocated_ = true;
    if (!succeeded(SQLSetEnvAttr(handle_, SQL_ATTR_ODBC_VERSION,
                                 reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0))) {
        free();
        throw Error("Unable to set ODBC version as SQL environment attribute");
    }
}

// --- ConnectionHandle ----------------------------------------------------

ConnectionHandle::ConnectionHandle(ConnectionHandle&& other) noexcept {
    *this = std::move(other);
}

ConnectionHandle& ConnectionHandle::operator=(ConnectionHandle&& other) noexcept {
    if (this != &other) {
        take_over(*this, handle_, is_allocated_, other.handle_, other.is_allocated_);
        state_ = std::move(other.state_);
    }
    return *this;
}

ConnectionHandle::~ConnectionHandle() {
    free();
}

void ConnectionHandle::free() noexcept {
    release(SQL_HANDLE_DBC, handle_, is_allocated_);
    state_.reset();
}

void ConnectionHandle::alloc(const EnvironmentHandle& env_handle) {
    if (is_allocated_) {
        throw Error("Refusing to allocate an already allocated SQL connection handle");
    }
    if (!env_handle.is_allocated()) {
        throw Error("SQL environment handle is not allocated");
    }
    auto state = std::make_shared<detail::ConnectionState>();
    if (!succeeded(SQLAllocHandle(SQL_HANDLE_DBC, env_handle(), &handle_))) {
        throw Error("Unable to allocate SQL connection handle");
    }
    is_allocated_ = true;
    state_ = std::move(state);
    // A driver that cannot honour the login time-out still connects.
    SQLSetConnectAttr(handle_, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(5), 0);
}

// --- StatementHandle -----------------------------------------------------

StatementHandle::StatementHandle(StatementHandle&& other) noexcept {
    *this = std::move(other);
}

StatementHandle& StatementHandle::operator=(StatementHandle&& other) noexcept {
    if (this != &other) {
        take_over(*this, handle_, is_allocated_, other.handle_, other.is_allocated_);
    }
    return *this;
}

StatementHandle::~StatementHandle() {
    free();
}

void StatementHandle::free() noexcept {
    release(SQL_HANDLE_STMT, handle_, is_allocated_);
}

void StatementHandle::alloc(const ConnectionHandle& conn_handle) {
    if (is_allocated_) {
        throw Error("Refusing to allocate an already allocated SQL statement handle");
    }
    if (!conn_handle.is_allocated()) {
        throw Error("SQL connection handle is not allocated");
    }
    if (!succeeded(SQLAllocHandle(SQL_HANDLE_STMT, conn_handle(), &handle_))) {
        throw Error("Unable to allocate SQL statement handle");
    }
    is_allocated_ = true;
    try {
        set_attribute(AttributeType::query_timeout, reinterpret_cast<SQLPOINTER>(10), 0);
    } catch (const Error&) {
        // Some drivers have no query time-out; the statement is usable anyway.
    }
}

void StatementHandle::cancel() {
    require_allocated(is_allocated_, "Cannot cancel an unallocated SQL handle");
    SQLCancel(handle_);
}

bool StatementHandle::fetch() {
    require_allocated(is_allocated_, "Cannot fetch from an unallocated SQL handle");
    detail::note_wait(detail::WaitStep::fetch);
    return succeeded(SQLFetch(handle_));
}

bool StatementHandle::fetch_checked(const std::string& statement) {
    require_allocated(is_allocated_, "Cannot fetch from an unallocated SQL handle");
    detail::note_wait(detail::WaitStep::fetch);
    const SQLRETURN code = SQLFetch(handle_);
    if (succeeded(code)) {
        return true;
    }
    if (code == SQL_NO_DATA) {
        return false;
    }
    throw_statement_error(handle_, "Fetch failed: ", util::cat(" (", statement, ")"));
}

void StatementHandle::execute(const std::string& statement) {
    require_allocated(is_allocated_, "Unallocated SQL statement");
    detail::note_wait(detail::WaitStep::execute);
    const SQLRETURN code = SQLExecDirect(handle_, odbc::sql_text(statement),
                                         static_cast<SQLINTEGER>(statement.size()));
    if (!succeeded(code) && code != SQL_NEED_DATA) {
        throw_statement_error(handle_, util::cat("Error executing '", statement, "': "));
    }
}

void StatementHandle::send_query(const std::string& query) {
    require_allocated(is_allocated_,
                      "Need to allocate a statement handle before a query can be executed");
    detail::note_wait(detail::WaitStep::execute);
    const SQLRETURN code =
        SQLExecDirect(handle_, odbc::sql_text(query), static_cast<SQLINTEGER>(query.size()));
    if (!succeeded(code)) {
        throw_statement_error(handle_, "Query failed: ", util::cat(" (", query, ")"));
    }
}

void StatementHandle::set_attribute(AttributeType attr_type, SQLPOINTER value_ptr,
                                    SQLINTEGER str_len) {
    require_allocated(is_allocated_, "Unallocated SQL statement");
    if (!succeeded(
            SQLSetStmtAttr(handle_, static_cast<SQLINTEGER>(attr_type), value_ptr, str_len))) {
        throw_statement_error(handle_, "Unable to set attribute: ");
    }
}

void StatementHandle::bind_column(int column, CDataType datatype, SQLPOINTER buf, SQLLEN buf_len,
                                  SQLLEN* ret_len) {
    require_allocated(is_allocated_, "Unallocated SQL statement");
    if (!succeeded(SQLBindCol(handle_, to_odbc_number(column), static_cast<SQLSMALLINT>(datatype),
                              buf, buf_len, ret_len))) {
        throw_statement_error(handle_, util::cat("Unable to bind to column ", column, ": "));
    }
}

void StatementHandle::bind_parameter(SQLUSMALLINT param_idx, ParameterType param_type,
                                     CDataType c_data_type, SqlDataType sql_data_type,
                                     SQLULEN sql_data_type_length_or_precision,
                                     SQLSMALLINT decimal_digits, SQLPOINTER buf, SQLLEN buf_len,
                                     SQLLEN* ret_len) {
    require_allocated(is_allocated_, "Unallocated SQL statement");
    if (!succeeded(SQLBindParameter(
            handle_, param_idx, static_cast<SQLSMALLINT>(param_type),
            static_cast<SQLSMALLINT>(c_data_type), static_cast<SQLSMALLINT>(sql_data_type),
            sql_data_type_length_or_precision, decimal_digits, buf, buf_len, ret_len))) {
        throw_statement_error(handle_, util::cat("Unable to bind SQL parameter ", param_idx, ": "));
    }
}

void StatementHandle::get_data(int column, SQLSMALLINT datatype, SQLPOINTER buf, SQLLEN buf_len,
                               SQLLEN* ret_len) {
    require_allocated(is_allocated_, "Unallocated SQL statement");
    if (!succeeded(SQLGetData(handle_, to_odbc_number(column), datatype, buf, buf_len, ret_len))) {
        throw_statement_error(handle_, util::cat("Unable to get data from column ", column, ": "));
    }
}

std::string StatementHandle::get_data_as_string(int column, bool* was_null) {
    require_allocated(is_allocated_, "Unallocated SQL statement");
    return odbc::read_chunked_text(handle_, column, was_null);
}

std::vector<unsigned char> StatementHandle::get_data_as_binary(int column, bool* was_null) {
    require_allocated(is_allocated_, "Unallocated SQL statement");
    return odbc::read_chunked_binary(handle_, column, was_null);
}

std::string StatementHandle::get_error_message() const {
    return odbc::collect_diagnostics(SQL_HANDLE_STMT, handle_).text;
}

int StatementHandle::get_num_result_columns() {
    require_allocated(is_allocated_, "Unallocated SQL statement");
    SQLSMALLINT count = 0;
    if (!succeeded(SQLNumResultCols(handle_, &count))) {
        throw_statement_error(handle_, "Unable to count result columns: ");
    }
    return count;
}

std::string StatementHandle::get_column_name(int column) {
    require_allocated(is_allocated_, "Unallocated SQL statement");
    // Most names fit the first buffer; a longer one is asked for again with
    // the length the driver reported.
    std::string name(256, '\0');
    for (;;) {
        SQLSMALLINT name_len = 0;
        SQLSMALLINT data_type = 0;
        SQLULEN column_size = 0;
        SQLSMALLINT decimal_digits = 0;
        SQLSMALLINT nullable = 0;
        const SQLRETURN code =
            SQLDescribeCol(handle_, to_odbc_number(column), reinterpret_cast<SQLCHAR*>(name.data()),
                           static_cast<SQLSMALLINT>(name.size()), &name_len, &data_type,
                           &column_size, &decimal_digits, &nullable);
        if (!succeeded(code)) {
            throw_statement_error(handle_, util::cat("Unable to describe column ", column, ": "));
        }
        const auto length = static_cast<std::size_t>(name_len < 0 ? 0 : name_len);
        if (length < name.size() || name.size() >= 32767) {
            name.resize(std::min(length, name.size() - 1));
            return name;
        }
        name.assign(std::min<std::size_t>(length + 1, 32767), '\0');
    }
}

}  // namespace zel::sql
