#ifndef ZEL_SQL_DATABASEERROR_H_
#define ZEL_SQL_DATABASEERROR_H_

/// @file
/// The error of a failed ODBC call, with what the driver said about it.

#include <cstdint>
#include <string>

#include "zel/Error.h"
#include "zel/export.h"

namespace zel::sql {

/// A zel::Error whose message ends with, or contains, the driver's diagnostic
/// text: a query, fetch, column read, bind, execution or attribute that the
/// driver refused. Besides the message it keeps the SQLSTATE and the native
/// error code of the driver's first diagnostic record, so that a program can
/// decide what to do next without parsing text (class "08": the connection
/// failed; the next call on the Database logs in again).
///
/// what() and get_message() are those of the plain zel::Error; a handler for
/// zel::Error catches a DatabaseError as well.
class ZEL_SQL_API DatabaseError : public Error {
public:
    /// An error with `message` and the first diagnostic record's `sqlstate`
    /// (five characters, or empty when the driver gave no record) and
    /// `native_error`.
    DatabaseError(const std::string& message, std::string sqlstate, std::int32_t native_error);
    // Defined in the library, so that the type information that handlers
    // match on has one home there.
    ~DatabaseError() override;

    /// The SQLSTATE of the first diagnostic record, such as "42601" or
    /// "08S01"; empty when the driver gave none.
    const std::string& get_sqlstate() const noexcept { return sqlstate_; }

    /// The driver's native error code of the first diagnostic record; 0 when
    /// the driver gave none. Its meaning depends on the driver.
    std::int32_t get_native_error() const noexcept { return native_error_; }

private:
    std::string sqlstate_;
    std::int32_t native_error_;
};

}  // namespace zel::sql

#endif  // ZEL_SQL_DATABASEERROR_H_
