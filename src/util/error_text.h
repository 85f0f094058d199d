// The system's words for an error number.
#ifndef ZEL_SQL_UTIL_ERROR_TEXT_H_
#define ZEL_SQL_UTIL_ERROR_TEXT_H_

#include <string>

namespace zel::util {

/// The system's text for `error_number` (strerror), safe on any thread.
std::string error_text(int error_number);

}  // namespace zel::util

#endif  // ZEL_SQL_UTIL_ERROR_TEXT_H_
