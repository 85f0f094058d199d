#include "odbc/odbc_rules.h"

#include <cstdint>

namespace zel::sql::odbc {

Diagnostics collect_diagnostics(SQLSMALLINT handle_type, SQLHANDLE handle) {
    Diagnostics diagnostics;
    for (SQLSMALLINT record = 1;; ++record) {
        SQLCHAR sqlstate[6] = {};
        SQLINTEGER native_error = 0;
        SQLCHAR text[SQL_MAX_MESSAGE_LENGTH + 1] = {};
        SQLSMALLINT text_len = 0;
        const SQLRETURN code = SQLGetDiagRec(handle_type, handle, record, sqlstate, &native_error,
                                             text, sizeof(text), &text_len);
        if (code == SQL_NO_DATA || code < 0) {
            break;
        }
        text[sizeof(text) - 1] = '\0';
        diagnostics.text.append(reinterpret_cast<const char*>(text));
        if (record == 1) {
            sqlstate[sizeof(sqlstate) - 1] = '\0';
            diagnostics.sqlstate = reinterpret_cast<const char*>(sqlstate);
            diagnostics.native_error = static_cast<std::int32_t>(native_error);
        }
        if (record == INT16_MAX) {
            break;
        }
    }
    return diagnostics;
}

void throw_statement_error(SQLHSTMT statement, const std::string& before,
                           const std::string& after) {
    const Diagnostics diagnostics = collect_diagnostics(SQL_HANDLE_STMT, statement);
    throw database_error(before + diagnostics.text + after, diagnostics);
}

}  // namespace zel::sql::odbc
