#include "zel/sql/Procedure.h"

#include <utility>

namespace zel::sql {

Procedure::Procedure(std::string procedure, const ConnectionHandle& connection_handle)
    : procedure_(std::move(procedure)) {
    statement_.alloc(connection_handle);
}

Procedure::Procedure(Procedure&& other) noexcept
    : statement_(std::move(other.statement_)),
      procedure_(std::move(other.procedure_)),
      param_info_(std::move(other.param_info_)) {}

Procedure& Procedure::operator=(Procedure&& other) noexcept {
    if (this != &other) {
        statement_ = std::move(other.statement_);
        procedure_ = std::move(other.procedure_);
        param_info_ = std::move(other.param_info_);
    }
    return *this;
}

Procedure::~Procedure() {
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
    statement_.execute(procedure_);
}

unsigned long Procedure::get_bytes_read(int param_idx) const {
    const SQLLEN bytes_read = param_info_.at(param_idx).bytes_read;
    return bytes_read == SQL_NULL_DATA ? 0UL : static_cast<unsigned long>(bytes_read);
}

bool Procedure::is_null(int param_idx) const {
    return param_info_.at(param_idx).bytes_read == SQL_NULL_DATA;
}

}  // namespace zel::sql
