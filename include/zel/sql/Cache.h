#ifndef ZEL_SQL_CACHE_H_
#define ZEL_SQL_CACHE_H_

/// @file
/// The cache folder of a data source and the names of its cache files.

#include <chrono>
#include <cstddef>
#include <fstream>
#include <istream>
#include <string>

#include "zel/export.h"

namespace zel::sql {

namespace detail {
class CacheFiles;
}  // namespace detail

/// Names one folder that holds cache files, one file per SQL text, named by
/// the SHA3-224 digest of the text. Every cache file begins with the 16
/// characters "zel_sql_cache_00". A Cache is a plain value: it holds no open
/// file, and nothing on disk is touched before create_folder().
class ZEL_SQL_API Cache {
public:
    /// The folder starts as "db_cache", relative to the working directory.
    Cache() = default;

    /// A copy of the cache folder's path.
    std::string get_folder() const;

    /// Makes `folder` the cache folder; creates nothing on disk.
    /// @throws zel::Error "Invalid cache folder: \"\"" when `folder` is empty.
    void set_folder(const std::string& folder);

    /// The folder, "/", the 56 lower-case hexadecimal digits of the SHA3-224
    /// digest of `sql_query` and ".dat".
    std::string get_full_file_name(const std::string& sql_query) const;

    /// Removes the cache files of this folder (exactly the regular files
    /// named by 56 lower-case hexadecimal digits and ".dat") whose last
    /// modification lies more than `age` in the past, and returns how many it
    /// removed. Other files and folders are left alone; a missing folder holds
    /// nothing to remove. Nothing else in the library ever removes a cache
    /// file.
    /// @throws zel::Error "Cannot read cache folder \"<folder>\"" or "Cannot
    /// remove cache file \"<file>\"".
    std::size_t remove_older_than(std::chrono::seconds age) const;

private:
    // The library's reader and writer of cache files (Database::read_with_cache).
    friend class detail::CacheFiles;

    /// Creates the folder with mode 0755.
    /// @throws zel::Error "Unable to create cache folder \"<folder>\"".
    void create_folder() const;

    /// Opens `file_name` for binary input.
    /// @throws zel::Error "Cannot open input file \"<file_name>\"".
    std::ifstream open_file_input_stream(const std::string& file_name) const;

    /// Opens `file_name` for binary output, creating or truncating it. The
    /// folder is not created.
    /// @throws zel::Error "Cannot open output file \"<file_name>\"".
    std::ofstream open_file_output_stream(const std::string& file_name) const;

    /// Reads the 16 header bytes and checks them.
    /// @throws zel::Error "Cannot read header" or "Invalid header ...".
    static void read_and_check_magic_header(std::istream& stream);

    static const char magic_header[17];

    std::string folder_ = "db_cache";
};

}  // namespace zel::sql

#endif  // ZEL_SQL_CACHE_H_
