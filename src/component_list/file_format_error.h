#ifndef ZEL_SQL_COMPONENT_LIST_FILE_FORMAT_ERROR_H_
#define ZEL_SQL_COMPONENT_LIST_FILE_FORMAT_ERROR_H_

// The failure of the component list file reader when the bytes of a file are
// not a component list, with the line it found the fault on. Internal: not
// installed. Callers of the public interface catch it as the zel::Error it
// is, with the same message; the operator's command catches it by this type
// (exported as ZEL_SQL_INTERNAL_API, so that its type information is the
// shared library's own and a catch across the library's boundary matches) to
// point at the line without reading the file a second time.

#include <cstddef>
#include <string>

#include "util/internal_api.h"
#include "zel/Error.h"

namespace zel::sql::detail {

class ZEL_SQL_INTERNAL_API FileFormatError : public Error {
public:
    /// `line` is the 1-based number of the line at fault; 0 when the fault
    /// belongs to no single line (found only after the whole file was read).
    FileFormatError(const std::string& message, std::size_t line);
    ~FileFormatError() override;

    /// The 1-based number of the line at fault, or 0 for none.
    std::size_t line() const noexcept { return line_; }

private:
    std::size_t line_;
};

}  // namespace zel::sql::detail

#endif  // ZEL_SQL_COMPONENT_LIST_FILE_FORMAT_ERROR_H_
