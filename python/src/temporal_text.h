#ifndef ZEL_SQL_PYTHON_TEMPORAL_TEXT_H_
#define ZEL_SQL_PYTHON_TEMPORAL_TEXT_H_

// Dates, times and timestamps as the driver writes them, checked against
// what Python's datetime types hold. Drivers read such values as text
// (SQL_C_CHAR) rather than as the ODBC structures, because the structures
// hide what a driver could not convert: psqlODBC gives today's date for
// 'infinity' and 1000-12-11 for 10000-01-01, MariaDB Connector/ODBC 01:00:00
// for -01:00:00. Their texts show it ("0000-00-00", "1000-00-00",
// "-01:00:00"), and a text that is not exactly a value Python holds is
// refused, never guessed at. Used by query() and query_numpy() alike.

#include <sql.h>
#include <sqlext.h>

#include <string>
#include <string_view>

#include "zel/Error.h"

namespace zel::python {

enum class TemporalKind { date, time, timestamp };

/// The value of `text`, a driver's "YYYY-MM-DD", "HH:MM[:SS[.fraction]]" or
/// "YYYY-MM-DD HH:MM[:SS[.fraction]]" (a "T" between date and time too), in
/// the fields of `out` that `kind` uses; the fraction in nanoseconds, more
/// than 9 digits cut. False when `text` is not of that form or not a value
/// that datetime.date, datetime.time or datetime.datetime holds: years 1 to
/// 9999, a day that its month has, hours 0 to 23, no leap second.
bool parse_temporal(std::string_view text, TemporalKind kind, SQL_TIMESTAMP_STRUCT& out) noexcept;

/// A value that Python's types cannot hold; the module's exception
/// translation (errors.cpp) chooses its Python class.
class UnrepresentableValue : public Error {
public:
    using Error::Error;
};

/// The error for column `number` (1-based) named `name` whose value of
/// `kind` the driver gave as `text`.
UnrepresentableValue unrepresentable(int number, const std::string& name, TemporalKind kind,
                                     std::string_view text);

}  // namespace zel::python

#endif  // ZEL_SQL_PYTHON_TEMPORAL_TEXT_H_
