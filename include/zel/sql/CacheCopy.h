#ifndef ZEL_SQL_CACHECOPY_H_
#define ZEL_SQL_CACHECOPY_H_

/// @file
/// Reading one cache file of a query cache as the library reads it, for a
/// program that lists, shows or checks cache folders.

#include <optional>
#include <string>

#include "zel/Error.h"
#include "zel/export.h"
#include "zel/sql/QueryResult.h"

namespace zel::sql {

/// What one cache file holds: the query whose result it is, the data source
/// that stored it, and the result (column names, rows, stored_at; from_cache
/// true, message empty).
struct CacheCopy {
    std::string sql;          ///< the SQL text, byte for byte
    std::string data_source;  ///< the ODBC data source of the Database that stored it
    QueryResult result;       ///< its columns, rows and stored_at
};

/// Why read_cache_copy() refused a file that exists. The message is the one
/// Database::read_with_cache gives for the same file ("Cache file \"<file>\"
/// is damaged or truncated: the check sum does not match"); get_reason() is
/// its part without the file's name.
class ZEL_SQL_API CacheCopyError : public Error {
public:
    /// What kind of refusal.
    enum class Kind {
        /// The trust rule of the files the library falls back on refused it
        /// (see why_untrusted()); not a byte of it was read.
        not_trusted,
        /// It could not be opened or read: no permission, an I/O error, too
        /// large for memory, or it changed size while it was read.
        unreadable,
        /// Its bytes are not a cache file this library wrote: the header, the
        /// format version, the recorded size, the check sum or a field.
        damaged,
    };

    /// An error with `message`, of `kind`, for `reason` (see get_reason()).
    CacheCopyError(const std::string& message, Kind kind, std::string reason);
    // Defined in the library, so that the type information that handlers
    // match on has one home there.
    ~CacheCopyError() override;

    /// What kind of refusal it is.
    Kind get_kind() const noexcept { return kind_; }

    /// The refusal without the file's name: "writable by others", "not a
    /// regular file", "the check sum does not match", "Invalid header
    /// \"...\", expected \"zel_sql_cache_00\"", "unknown format version 2
    /// (expected 1)".
    const std::string& get_reason() const noexcept { return reason_; }

private:
    Kind kind_;
    std::string reason_;
};

/// Reads the cache file `file_name` (as Cache::get_full_file_name names it,
/// or any other path) with the checks of Database::read_with_cache, in the
/// same order: the trust rule (the file is opened without blocking, so a FIFO
/// is refused, never waited on), the header, the format version, the size,
/// the check sum and every field. The file is read once, into memory.
///
/// Unlike read_with_cache it does not check that the file's name is that of
/// its SQL text, nor the data source: compare CacheCopy::sql with
/// Cache::get_full_file_name() and CacheCopy::data_source with the data
/// source you expect.
///
/// @return std::nullopt when there is no file of that name (nothing is
/// stored there); otherwise the copy.
/// @throws CacheCopyError when the file exists and the library would refuse
/// it; zel::Error "Invalid file name: ..." for a name with a NUL.
///
/// Safe to call from several threads.
ZEL_SQL_API std::optional<CacheCopy> read_cache_copy(const std::string& file_name);

}  // namespace zel::sql

#endif  // ZEL_SQL_CACHECOPY_H_
