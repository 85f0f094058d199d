// Taking file paths apart.
#ifndef ZEL_SQL_UTIL_PATH_H_
#define ZEL_SQL_UTIL_PATH_H_

#include <string>

namespace zel::util {

/// The folder part of `path`: "." for a bare file name, "/" for a file in the
/// root folder.
std::string folder_of(const std::string& path);

}  // namespace zel::util

#endif  // ZEL_SQL_UTIL_PATH_H_
