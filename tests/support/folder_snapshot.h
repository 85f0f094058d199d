#ifndef ZEL_SQL_TESTS_SUPPORT_FOLDER_SNAPSHOT_H_
#define ZEL_SQL_TESTS_SUPPORT_FOLDER_SNAPSHOT_H_

// What a folder holds, to prove that an operation left it untouched.

#include <map>
#include <string>

namespace zel::sql::test {

/// Every entry of a folder (not recursive) by name: the content of a regular
/// file, "-> target" for a symbolic link, "<folder>" for a folder. Two equal
/// snapshots mean that nothing in the folder was written, added or removed.
/// Throws when the folder or one of its files cannot be read.
std::map<std::string, std::string> folder_snapshot(const std::string& folder);

}  // namespace zel::sql::test

#endif  // ZEL_SQL_TESTS_SUPPORT_FOLDER_SNAPSHOT_H_
