// Many parameter sets sent in one execution: the values of each marker laid
// out as one column (SQL_PARAM_BIND_BY_COLUMN), one length or NULL indicator
// per row, SQL_ATTR_PARAMSET_SIZE rows at a time, and a status per row that
// tells which one the driver refused. Drivers that cannot take arrays get one
// execution per row from the caller instead; parameter_arrays_fit() is the
// rule that decides. Internal: not installed. Not thread-safe: one thread
// uses a statement at a time.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <cstddef>
#include <vector>

#include "util/internal_api.h"
#include "zel/sql/Database.h"
#include "zel/sql/Query.h"

namespace zel::sql::detail {

/// The rows of one batch in the largest execution: bounds the memory the
/// buffers take, whatever the number of rows.
constexpr std::size_t parameter_batch_rows = 1000;

/// The values of one marker for the rows of a batch, all of one C type.
struct ParameterColumn {
    SQLSMALLINT c_type = SQL_C_CHAR;
    SQLSMALLINT sql_type = SQL_VARCHAR;
    SQLULEN column_size = 1;
    SQLSMALLINT decimal_digits = 0;
    /// The bytes of one row's value in `values` (at least 1).
    SQLLEN width = 1;
    /// rows x width bytes, row after row.
    std::vector<unsigned char> values;
    /// One per row: the length of a text or binary value, 0 for a fixed
    /// one, SQL_NULL_DATA for NULL.
    std::vector<SQLLEN> indicators;
};

/// Whether the prepared `query` can be sent with parameter arrays on its
/// connection: the driver answers SQL_PARAM_ARRAY_ROW_COUNTS, does not
/// refuse arrays for a statement with a result set that this one has
/// (SQL_PARAM_ARRAY_SELECTS), and is not in the table of drivers known to
/// get arrays wrong.
ZEL_SQL_INTERNAL_API bool parameter_arrays_fit(Query& query);

/// Binds `columns` (all of `rows` rows) column-wise on the prepared `query`
/// and executes it once for all of them, as a statement of `db`'s
/// transaction. The buffers stay with the caller until this returns.
/// Returns the rows changed, -1 when the driver did not tell.
/// @throws zel::sql::DatabaseError "Row <n>: Query failed: <diagnostics>
/// (<sql>)", n counted from 1 with `first_row` the number of the batch's
/// first row; "Rows <a> to <b> (the driver did not tell which failed): ..."
/// when the driver marked no row as failed; "Unable to bind parameter <n>: ..." or "Unable to send
/// parameter arrays: ..." when the driver refuses the binding.
ZEL_SQL_INTERNAL_API long long execute_parameter_array(Database& db, Query& query,
                                                       std::vector<ParameterColumn>& columns,
                                                       std::size_t rows, std::size_t first_row);

/// Rethrows the `error` raised for the row numbered `row` (from 1) with
/// "Row <row>: " before its message, its SQLSTATE kept.
[[noreturn]] ZEL_SQL_INTERNAL_API void throw_for_row(const DatabaseError& error, std::size_t row);

}  // namespace zel::sql::detail
