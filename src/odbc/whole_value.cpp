#include "odbc/whole_value.h"

#include <sqlext.h>

#include <algorithm>
#include <cstddef>

#include "odbc/odbc_rules.h"

namespace zel::sql::odbc {
namespace {

constexpr SQLLEN first_piece = 1024;

// One SQLGetData; false for SQL_NO_DATA (nothing left).
bool get_piece(SQLHSTMT statement, int column, SQLSMALLINT c_type, char* buffer, SQLLEN length,
               SQLLEN& indicator) {
    const SQLRETURN code = SQLGetData(statement, static_cast<SQLUSMALLINT>(column), c_type, buffer,
                                      length, &indicator);
    if (code == SQL_NO_DATA) {
        return false;
    }
    if (!succeeded(code)) {
        throw_statement_error(
            statement, "Error while retrieving data from column " + std::to_string(column) + ": ");
    }
    return true;
}

}  // namespace

bool append_whole_value(SQLHSTMT statement, int column, SQLSMALLINT c_type, std::string& out) {
    // Text pieces end in a NUL that is not part of the value; binary ones do not.
    const SQLLEN terminator = c_type == SQL_C_CHAR ? 1 : 0;
    char first[first_piece];
    SQLLEN indicator = 0;
    if (!get_piece(statement, column, c_type, first, first_piece, indicator)) {
        return true;  // SQL_NO_DATA at once: an empty value
    }
    if (indicator == SQL_NULL_DATA) {
        return false;
    }
    if (indicator != SQL_NO_TOTAL && indicator + terminator <= first_piece) {
        out.append(first, static_cast<std::size_t>(indicator));
        return true;
    }
    const std::size_t start = out.size();
    out.append(first, static_cast<std::size_t>(first_piece - terminator));
    SQLLEN piece = first_piece;
    for (;;) {
        // The piece was full; the indicator told what was left before it.
        piece = indicator != SQL_NO_TOTAL
                    ? indicator - (piece - terminator) + terminator
                    : std::max<SQLLEN>(static_cast<SQLLEN>(out.size() - start), 64 * 1024);
        const std::size_t kept = out.size();
        out.resize(kept + static_cast<std::size_t>(piece));
        if (!get_piece(statement, column, c_type, out.data() + kept, piece, indicator) ||
            indicator == SQL_NULL_DATA) {
            out.resize(kept);
            return true;
        }
        if (indicator != SQL_NO_TOTAL && indicator + terminator <= piece) {
            out.resize(kept + static_cast<std::size_t>(indicator));
            return true;
        }
        out.resize(kept + static_cast<std::size_t>(piece - terminator));
    }
}

}  // namespace zel::sql::odbc
