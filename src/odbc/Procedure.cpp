#include "zel/sql/Procedure.h"

#include <utility>

#include "odbc/connection_state.h"

namespace zel::sql {

Procedure::Procedure(std::string procedure, const ConnectionHandle& connection_handle)
    : connection_state_(detail::state_of(connection_handle)), procedure_(std::move(procedure)) {
    statement_.alloc(connection_handle);
}

Procedure::Procedure(Procedure&& other) noexcept
    : statement_(std::move(other.statement_)),
      connection_state_(std::move(other.connection_state_)),
      procedure_(std::move(other.procedure_)),
      param_info_(std::move(other.param_info_)) {}

Procedure& Procedure::operator=(Procedure&& other) noexcept {
    if (this != &other) {
        if (detail::is_inert(connection_state_)) {
            detail::forget(statement_);
        }
        statement_ = std::move(other.statement_);
        connection_state_ = std::move(other.connection_state_);
        procedure_ = std::move(other.procedure_);
        param_info_ = std::move(other.param_info_);
    }
    return *this;
}

Procedure::~Procedure() {
    if (detail::is_inert(connection_state_)) {
        // The helper that owns the connection frees this statement with it.
        detail::forget(statement_);
    }
    if (statement_.is_allocated()) {
        statement_.cancel();
    }
    param_info_.clear();
    procedure_.clear();
    statement_.free();
}

void Procedure::bind_parameter(int param_idx, ParameterType param_type, CDataType c_data_type,
                               SqlDataType sql_data_type, SQLULEN sql_data_type_length_or_precision,
                               SQLSMALLINT decimal_digits, SQLPOINTER buf, SQLLEN buf_len) {
    detail::check_usable(connection_state_);
    ParamInfo& info = param_info_.try_emplace(param_idx, ParamInfo{}).first->second;
    info.datatype = c_data_type;
    info.buf = buf;
    info.buf_len = buf_len;
    info.bytes_read = buf_len;
    statement_.bind_parameter(static_cast<SQLUSMALLINT>(param_idx), param_type, c_data_type,
                              sql_data_type, sql_data_type_length_or_precision, decimal_digits, buf,
                              buf_len, &info.bytes_read);
}

void Procedure::exec() {
    detail::check_usable(connection_state_);
    statement_.execute(procedure_);
}

unsigned long Procedure::get_bytes_read(int param_idx) const {
    detail::check_usable(connection_state_);
    const SQLLEN bytes_read = param_info_.at(param_idx).bytes_read;
    return bytes_read == SQL_NULL_DATA ? 0UL : static_cast<unsigned long>(bytes_read);
}

bool Procedure::is_null(int param_idx) const {
    detail::check_usable(connection_state_);
    return param_info_.at(param_idx).bytes_read == SQL_NULL_DATA;
}

}  // namespace zel::sql
