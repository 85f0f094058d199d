#include "zel/sql/Query.h"

#include <utility>

#include "odbc/bounded_wait.h"
#include "odbc/connection_state.h"
#include "odbc/odbc_rules.h"
#include "util/string.h"

namespace zel::sql {

Query::Query(const std::string& query, const ConnectionHandle& connection_handle)
    : connection_(connection_handle()),
      connection_state_(detail::state_of(connection_handle)),
      query_(query) {
    statement_.alloc(connection_handle);
    statement_.send_query(query_);
}

Query::Query(const std::string& query, const ConnectionHandle& connection_handle, Unexecuted)
    : connection_(connection_handle()),
      connection_state_(detail::state_of(connection_handle)),
      query_(query) {
    statement_.alloc(connection_handle);
    detail::note_wait(detail::WaitStep::execute);  // some drivers prepare on the server
    const SQLRETURN code =
        SQLPrepare(statement_(), odbc::sql_text(query_), static_cast<SQLINTEGER>(query_.size()));
    if (!odbc::succeeded(code)) {
        odbc::throw_statement_error(statement_(), "Query failed: ", util::cat(" (", query_, ")"));
    }
}

Query::Query(const std::string& query, const ConnectionHandle& connection_handle, NoRowsIsSuccess)
    : connection_(connection_handle()),
      connection_state_(detail::state_of(connection_handle)),
      query_(query) {
    statement_.alloc(connection_handle);
    detail::note_wait(detail::WaitStep::execute);
    const SQLRETURN code =
        SQLExecDirect(statement_(), odbc::sql_text(query_), static_cast<SQLINTEGER>(query_.size()));
    if (code != SQL_NO_DATA && !odbc::succeeded(code)) {
        odbc::throw_statement_error(statement_(), "Query failed: ", util::cat(" (", query_, ")"));
    }
}

Query::Query(Query&& other) noexcept
    : statement_(std::move(other.statement_)),
      connection_(other.connection_),
      connection_state_(std::move(other.connection_state_)),
      query_(std::move(other.query_)),
      column_info_(std::move(other.column_info_)) {}

Query& Query::operator=(Query&& other) noexcept {
    if (this != &other) {
        if (detail::is_inert(connection_state_)) {
            detail::forget(statement_);
        }
        statement_ = std::move(other.statement_);
        connection_ = other.connection_;
        connection_state_ = std::move(other.connection_state_);
        query_ = std::move(other.query_);
        column_info_ = std::move(other.column_info_);
    }
    return *this;
}

Query::~Query() {
    if (detail::is_inert(connection_state_)) {
        // The helper that owns the connection frees this statement with it.
        detail::forget(statement_);
    }
    if (statement_.is_allocated()) {
        statement_.cancel();
    }
    column_info_.clear();
    query_.clear();
    statement_.free();
}

void Query::bind_column(int column, CDataType datatype, SQLPOINTER buf, SQLLEN buf_len) {
    detail::check_usable(connection_state_);
    ColumnInfo& info = column_info_.try_emplace(column, ColumnInfo{}).first->second;
    info.datatype = datatype;
    info.buf = buf;
    info.buf_len = buf_len;
    statement_.bind_column(column, datatype, buf, buf_len, &info.bytes_read);
}

bool Query::fetch() {
    detail::check_usable(connection_state_);
    return statement_.fetch();
}

bool Query::fetch_checked() {
    detail::check_usable(connection_state_);
    return statement_.fetch_checked(query_);
}

unsigned long Query::get_bytes_read(int column) const {
    detail::check_usable(connection_state_);
    const SQLLEN bytes_read = column_info_.at(column).bytes_read;
    return bytes_read == SQL_NULL_DATA ? 0UL : static_cast<unsigned long>(bytes_read);
}

bool Query::is_null(int column) const {
    detail::check_usable(connection_state_);
    return column_info_.at(column).bytes_read == SQL_NULL_DATA;
}

bool Query::get_column(int column, SQLPOINTER buf, SQLLEN buf_len, SQLSMALLINT datatype) {
    detail::check_usable(connection_state_);
    SQLLEN indicator = 0;
    statement_.get_data(column, datatype, buf, buf_len, &indicator);
    return indicator != SQL_NULL_DATA;
}

std::vector<unsigned char> Query::get_column_as_binary(int column, bool* was_null) {
    detail::check_usable(connection_state_);
    return statement_.get_data_as_binary(column, was_null);
}

double Query::get_column_as_double(int column, bool* was_null) {
    detail::check_usable(connection_state_);
    double value = 0.0;
    const bool not_null =
        get_column(column, &value, sizeof(value), static_cast<SQLSMALLINT>(CDataType::c_double));
    if (was_null != nullptr) {
        *was_null = !not_null;
    }
    return value;
}

int32_t Query::get_column_as_int32_t(int column, bool* was_null) {
    detail::check_usable(connection_state_);
    int32_t value = 0;
    const bool not_null =
        get_column(column, &value, sizeof(value), static_cast<SQLSMALLINT>(CDataType::c_slong));
    if (was_null != nullptr) {
        *was_null = !not_null;
    }
    return value;
}

std::string Query::get_column_as_string(int column, bool* was_null) {
    detail::check_usable(connection_state_);
    return statement_.get_data_as_string(column, was_null);
}

int Query::get_num_result_columns() {
    detail::check_usable(connection_state_);
    return statement_.get_num_result_columns();
}

std::string Query::get_column_name(int column) {
    detail::check_usable(connection_state_);
    return statement_.get_column_name(column);
}

}  // namespace zel::sql
