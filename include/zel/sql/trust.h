#ifndef ZEL_SQL_TRUST_H_
#define ZEL_SQL_TRUST_H_

/// @file
/// Whether the library would fall back on a file by itself.

#include <string>

#include "zel/export.h"

namespace zel::sql {

/// Why the library would refuse `path` as a file it falls back on by itself
/// (the backup file of ComponentList::read_from_db_with_backup, a copy of
/// Database::read_with_cache), in the words of its refusals: "not a regular
/// file", "owned by uid 1001", "writable by others", "a symbolic link owned by
/// uid 1001", "folder db_cache is writable by others". Empty when it would
/// use the file. The rule: a regular file owned by the effective user or root
/// and not writable by others, in a folder that others cannot change (or a
/// sticky one); a final symbolic link only when the effective user or root
/// owns it. The file is opened without blocking and closed again; nothing is
/// read. Safe to call from several threads.
/// @throws zel::Error "Invalid file name: ..." for a name with a NUL, or
/// "Cannot open <path>: <system's reason>" when the file cannot be opened for
/// another reason (it does not exist, no permission).
ZEL_SQL_API std::string why_untrusted(const std::string& path);

}  // namespace zel::sql

#endif  // ZEL_SQL_TRUST_H_
