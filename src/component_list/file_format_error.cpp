#include "component_list/file_format_error.h"

namespace zel::sql::detail {

FileFormatError::FileFormatError(const std::string& message, std::size_t line)
    : Error(message), line_(line) {}

// Defined here, so that the vtable and the type information live in the
// shared library only.
FileFormatError::~FileFormatError() = default;

}  // namespace zel::sql::detail
