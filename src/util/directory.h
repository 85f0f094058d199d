#ifndef ZEL_SQL_UTIL_DIRECTORY_H_
#define ZEL_SQL_UTIL_DIRECTORY_H_

// Directory helpers. Internal: not exported.

#include <string>

namespace zel::util {

/// Creates the directory `path` with the permission bits `mode` (the process's
/// umask applies). Missing parent folders are not created. True when the
/// directory exists afterwards, also when it existed before.
bool make_directory(const std::string& path, unsigned int mode);

}  // namespace zel::util

#endif  // ZEL_SQL_UTIL_DIRECTORY_H_
