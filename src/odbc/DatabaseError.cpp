#include "zel/sql/DatabaseError.h"

#include <utility>

namespace zel::sql {

DatabaseError::DatabaseError(const std::string& message, std::string sqlstate,
                             std::int32_t native_error)
    : Error(message), sqlstate_(std::move(sqlstate)), native_error_(native_error) {}

DatabaseError::~DatabaseError() = default;

}  // namespace zel::sql
