// Database's transactions: the autocommit mode of its connections and the
// end of a transaction, each bounded by the wait limit like any other answer
// of the server.

#include "odbc/bounded_operation.h"
#include "odbc/bounded_wait.h"
#include "odbc/odbc_rules.h"
#include "util/string.h"
#include "zel/sql/Database.h"

namespace zel::sql {

void Database::apply_autocommit() {
    // Some drivers ask the server.
    detail::note_wait(detail::WaitStep::execute);
    const auto value = static_cast<SQLULEN>(autocommit_ ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF);
    const SQLRETURN code = SQLSetConnectAttr(conn_handle_(), SQL_ATTR_AUTOCOMMIT,
                                             reinterpret_cast<SQLPOINTER>(value), SQL_IS_UINTEGER);
    if (!odbc::succeeded(code)) {
        const odbc::Diagnostics diagnostics =
            odbc::collect_diagnostics(SQL_HANDLE_DBC, conn_handle_());
        throw odbc::database_error(util::cat("Unable to set autocommit: ", diagnostics.text),
                                   diagnostics);
    }
}

void Database::set_autocommit(bool on) {
    if (on == autocommit_) {
        return;
    }
    if (connected_ && wait_limit_.count() > 0) {
        // On the helper, whose own limit is 0, this call runs unbounded.
        detail::run_bounded_void(*this, [on](Database& db) { db.set_autocommit(on); });
        autocommit_ = on;
        return;
    }
    autocommit_ = on;
    if (!connected_) {
        return;  // the next login applies it
    }
    try {
        apply_autocommit();
    } catch (...) {
        autocommit_ = !on;
        throw;
    }
    // Switching autocommit on commits an open transaction; switching it off
    // starts none yet.
    transaction_open_ = false;
    transaction_lost_ = false;
}

void Database::end_transaction(SQLSMALLINT completion) {
    detail::note_wait(detail::WaitStep::execute);
    const SQLRETURN code = SQLEndTran(SQL_HANDLE_DBC, conn_handle_(), completion);
    if (!odbc::succeeded(code)) {
        const odbc::Diagnostics diagnostics =
            odbc::collect_diagnostics(SQL_HANDLE_DBC, conn_handle_());
        throw odbc::database_error(
            util::cat(completion == SQL_COMMIT ? "Unable to commit: " : "Unable to roll back: ",
                      diagnostics.text),
            diagnostics);
    }
    transaction_open_ = false;
}

void Database::commit() {
    if (autocommit_) {
        return;
    }
    if (transaction_lost_) {
        throw DatabaseError(
            "The transaction was lost with its connection; nothing of it was stored", "08S01", 0);
    }
    if (!connected_) {
        return;
    }
    if (wait_limit_.count() > 0) {
        detail::run_bounded_void(*this, [](Database& db) { db.commit(); });
        return;
    }
    end_transaction(SQL_COMMIT);
}

void Database::rollback() {
    if (autocommit_) {
        return;
    }
    transaction_lost_ = false;
    if (!connected_) {
        transaction_open_ = false;
        return;
    }
    if (wait_limit_.count() > 0) {
        detail::run_bounded_void(*this, [](Database& db) { db.rollback(); });
        return;
    }
    end_transaction(SQL_ROLLBACK);
}

}  // namespace zel::sql
