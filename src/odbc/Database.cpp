#include "zel/sql/Database.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "cache/read_with_cache.h"
#include "odbc/bounded_operation.h"
#include "odbc/bounded_wait.h"
#include "odbc/odbc_rules.h"
#include "odbc/source_registry.h"
#include "util/string.h"
#include "zel/Error.h"

namespace zel::sql {
namespace {

// A string for SQLConnect: a null pointer for an empty one, so that the driver
// manager takes the name or password from the data source's configuration.
SQLCHAR* connect_argument(const std::string& text) {
    return text.empty() ? nullptr : odbc::sql_text(text);
}

// True only when the driver says that the connection is gone. A driver that
// cannot answer counts the connection as alive: the statement that follows
// then reports what is wrong. The buffer is wider than the SQLUINTEGER the
// attribute is, so a driver that writes a full SQLULEN cannot overrun it.
bool connection_is_dead(SQLHDBC conn) {
    // Some drivers ask the server.
    detail::note_wait(detail::WaitStep::connect);
    SQLULEN dead = SQL_CD_FALSE;
    return odbc::succeeded(SQLGetConnectAttr(conn, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) &&
           dead == SQL_CD_TRUE;
}

// The text as the contents of an SQL string literal: every single quote is
// doubled. The text holds no backslash (check_dictionary_name): servers that
// treat a backslash as an escape character (MariaDB and MySQL by default)
// could otherwise be made to end the literal early, and doubling it is not
// safe either, since in GBK, Big5 or Shift-JIS a backslash may be the second
// byte of a character that swallows the escape.
std::string quote_literal_contents(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        out.push_back(c);
        if (c == '\'') {
            out.push_back(c);
        }
    }
    return out;
}

// Refuses a data dictionary name that no real one matches and that could be
// read as more than a name: one with a NUL or a backslash.
void check_dictionary_name(std::string_view name, std::string_view what) {
    util::check_no_nul(name, util::cat("Invalid ", what, " name"));
    if (name.find('\\') != std::string_view::npos) {
        throw Error(util::cat("Invalid ", what, " name: \"", util::excerpt_for_message(name),
                              "\" (a backslash is not allowed)"));
    }
}

// One text of SQLGetInfo, whatever its length.
std::string read_info_text(SQLHDBC conn, SQLUSMALLINT type, const char* type_name) {
    std::string text(256, '\0');
    for (;;) {
        SQLSMALLINT length = 0;
        const SQLRETURN code =
            SQLGetInfo(conn, type, text.data(), static_cast<SQLSMALLINT>(text.size()), &length);
        if (!odbc::succeeded(code)) {
            const odbc::Diagnostics diagnostics = odbc::collect_diagnostics(SQL_HANDLE_DBC, conn);
            throw odbc::database_error(util::cat("Unable to read the driver information (",
                                                 type_name, "): ", diagnostics.text),
                                       diagnostics);
        }
        if (length < 0) {
            length = 0;
        }
        const auto size = static_cast<std::size_t>(length);
        if (size < text.size() || text.size() >= 32767) {
            text.resize(std::min(size, text.size() - 1));
            return text;
        }
        text.assign(std::min<std::size_t>(size + 1, 32767), '\0');
    }
}

// "Invalid <what>: <n> ms" unless 0 <= value <= 24 h: every time the library
// adds to a clock stays far from overflow.
void check_time_setting(std::chrono::milliseconds value, std::string_view what) {
    if (value.count() < 0) {
        throw Error(util::cat("Invalid ", what, ": ", value.count(), " ms"));
    }
    if (value > detail::longest_time_setting) {
        throw Error(util::cat("Invalid ", what, ": ", value.count(), " ms (at most ",
                              detail::longest_time_setting.count(), " ms)"));
    }
}

}  // namespace

Database::Database(const std::string& data_source, const std::string& user,
                   const std::string& password)
    : data_source_(data_source),
      user_(user),
      password_(password),
      sources_{Source{data_source, user, password}},
      order_{0} {}

void Database::add_standby(const std::string& data_source) {
    add_standby(data_source, user_, password_);
}

void Database::add_standby(const std::string& data_source, const std::string& user,
                           const std::string& password) {
    sources_.push_back(Source{data_source, user, password});
    order_.push_back(sources_.size() - 1);
    if (source_order_ == SourceOrder::random) {
        shuffle_order();
    }
}

std::vector<std::string> Database::get_data_sources() const {
    std::vector<std::string> names;
    names.reserve(sources_.size());
    for (const Source& source : sources_) {
        names.push_back(source.data_source);
    }
    return names;
}

std::string Database::get_serving_source() const {
    return connected_ ? sources_[active_].data_source : std::string();
}

void Database::set_source_order(SourceOrder order) {
    source_order_ = order;
    if (order == SourceOrder::random) {
        shuffle_order();
    } else {
        for (std::size_t i = 0; i < order_.size(); ++i) {
            order_[i] = i;
        }
    }
}

void Database::shuffle_order() {
    for (std::size_t i = 0; i < order_.size(); ++i) {
        order_[i] = i;
    }
    detail::shuffle_sources(order_);
}

void Database::set_hold_back(std::chrono::milliseconds hold_back) {
    check_time_setting(hold_back, "hold-back");
    hold_back_ = hold_back;
}

std::vector<SourceState> Database::get_source_states() const {
    const auto now = std::chrono::steady_clock::now();
    std::vector<SourceState> states;
    states.reserve(sources_.size());
    for (const Source& source : sources_) {
        states.push_back(detail::SourceRegistry::instance().state(source.data_source, now));
    }
    return states;
}

std::vector<std::size_t> Database::trying_order() {
    if (!connected_ || active_ == order_.front()) {
        return order_;
    }
    const auto serving = std::find(order_.begin(), order_.end(), active_);
    const auto now = std::chrono::steady_clock::now();
    bool go_back = now >= retry_earlier_at_;
    if (!go_back && left_held_source_) {
        for (auto it = order_.begin(); it != serving && !go_back; ++it) {
            go_back = !detail::SourceRegistry::instance()
                           .refusal(sources_[*it].data_source, true, false, now)
                           .has_value();
        }
    }
    if (go_back) {
        return order_;
    }
    // Stay on the serving source; the earlier ones come last.
    std::vector<std::size_t> order(serving, order_.end());
    order.insert(order.end(), order_.begin(), serving);
    return order;
}

void Database::settle_on(std::size_t index) {
    if (index == order_.front()) {
        left_held_source_ = false;
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    retry_earlier_at_ = now + hold_back_;
    left_held_source_ = false;
    for (const std::size_t earlier : order_) {
        if (earlier == index) {
            break;
        }
        left_held_source_ |= detail::SourceRegistry::instance()
                                 .refusal(sources_[earlier].data_source, true, false, now)
                                 .has_value();
    }
}

Database::~Database() {
    disconnect();
}

void Database::connect() {
    if (connected_) {
        throw Error("SQL connection is already open");
    }
    if (!env_handle_.is_allocated()) {
        env_handle_.alloc();
    }
    if (!conn_handle_.is_allocated()) {
        conn_handle_.alloc(env_handle_);
    }
    if (pinned_ || sources_.size() == 1) {
        connect_active();
        return;
    }
    // Every source in order, skipping those held back; the first login wins.
    const auto now = std::chrono::steady_clock::now();
    for (const std::size_t index : order_) {
        if (hold_back_.count() > 0 && detail::SourceRegistry::instance()
                                          .refusal(sources_[index].data_source, true, false, now)
                                          .has_value()) {
            continue;
        }
        active_ = index;
        connect_active();
        if (connected_) {
            return;
        }
    }
}

void Database::connect_active() {
    const Source& source = sources_[active_];
    detail::note_wait(detail::WaitStep::connect);
    const SQLRETURN code = SQLConnect(
        conn_handle_(), odbc::sql_text(source.data_source),
        static_cast<SQLSMALLINT>(source.data_source.size()), connect_argument(source.user),
        static_cast<SQLSMALLINT>(source.user.size()), connect_argument(source.password),
        static_cast<SQLSMALLINT>(source.password.size()));
    connected_ = odbc::succeeded(code);
    login_failed_ = !connected_;
    // A refused login throws nothing here, so its reason is kept for the
    // caller, read before any other call on the handle clears it.
    if (connected_) {
        last_connect_error_.clear();
        last_connect_sqlstate_.clear();
        last_connect_native_ = 0;
        if (!autocommit_) {
            try {
                apply_autocommit();
            } catch (...) {
                // A connection that would commit every statement on its own
                // is not the one asked for.
                disconnect();
                throw;
            }
        }
        return;
    }
    const odbc::Diagnostics refusal = odbc::collect_diagnostics(SQL_HANDLE_DBC, conn_handle_());
    last_connect_error_ = refusal.text;
    last_connect_sqlstate_ = refusal.sqlstate;
    last_connect_native_ = refusal.native_error;
}

void Database::disconnect() noexcept {
    if (connected_) {
        if (!autocommit_) {
            // Drivers refuse to disconnect inside a transaction.
            SQLEndTran(SQL_HANDLE_DBC, conn_handle_(), SQL_ROLLBACK);
            transaction_open_ = false;
        }
        SQLDisconnect(conn_handle_());
    }
    connected_ = false;
}

void Database::prepare_connection() {
    if (!connected_) {
        connect();
    } else if (connection_is_dead(conn_handle_())) {
        // The server went away (restarted, or this session was ended): log in
        // again rather than fail every statement from now on.
        note_connection_lost();
        disconnect();
        connect();
    }
}

void Database::set_wait_limit(std::chrono::milliseconds limit) {
    check_time_setting(limit, "wait limit");
    wait_limit_ = limit;
}

void Database::rethrow_allocation_failure(const Error& error) const {
    if (!connected_ && !last_connect_sqlstate_.empty()) {
        // The statement could not be allocated because the login failed: the
        // login's SQLSTATE lets a caller tell an outage (class 08) from the rest.
        throw DatabaseError(error.get_message(), last_connect_sqlstate_, last_connect_native_);
    }
    throw;
}

Query Database::send_query(const std::string& query) {
    util::check_no_nul(query, "Invalid SQL text");
    detail::run_bounded_void(*this, [](Database& db) { db.prepare_connection(); });
    try {
        Query executed(query, conn_handle_);
        note_statement();
        return executed;
    } catch (const DatabaseError&) {
        throw;
    } catch (const Error& e) {
        rethrow_allocation_failure(e);
    }
}

Procedure Database::get_procedure(std::string procedure) {
    util::check_no_nul(procedure, "Invalid SQL text");
    detail::run_bounded_void(*this, [](Database& db) { db.prepare_connection(); });
    // Executed later by the caller: counted as sent already.
    note_statement();
    try {
        return Procedure(std::move(procedure), conn_handle_);
    } catch (const DatabaseError&) {
        throw;
    } catch (const Error& e) {
        rethrow_allocation_failure(e);
    }
}

std::vector<std::string> Database::read_column_names(std::string_view table_name,
                                                     std::string_view owner) {
    check_dictionary_name(table_name, "table");
    check_dictionary_name(owner, "owner");
    if (detail::runs_bounded(*this)) {
        // On the helper, whose own limit is 0, this call runs unbounded.
        return detail::run_bounded<std::vector<std::string>>(
            *this, [table = std::string(table_name), owner = std::string(owner)](Database& db) {
                return db.read_column_names(table, owner);
            });
    }
    const std::string sql = util::cat(
        "SELECT COLUMN_NAME FROM ALL_TAB_COLUMNS WHERE UPPER(OWNER) = '",
        quote_literal_contents(util::uppercase_ascii(owner)), "' AND UPPER(TABLE_NAME) = '",
        quote_literal_contents(util::uppercase_ascii(table_name)), "'");
    Query query = send_query(sql);
    char column_name[256];
    query.bind_column(1, CDataType::c_char, column_name, sizeof(column_name));
    std::vector<std::string> names;
    for (;;) {
        column_name[0] = '\0';
        if (!query.fetch_checked()) {
            break;
        }
        column_name[sizeof(column_name) - 1] = '\0';
        names.emplace_back(column_name);
    }
    return names;
}

DriverInfo Database::get_driver_info() {
    if (detail::runs_bounded(*this)) {
        // On the helper, whose own limit is 0, this call runs unbounded.
        return detail::run_bounded<DriverInfo>(*this,
                                               [](Database& db) { return db.get_driver_info(); });
    }
    prepare_connection();
    if (!connected_) {
        // The refused SQLConnect's records are still on the handle: reading
        // them does not clear them.
        const odbc::Diagnostics refusal = odbc::collect_diagnostics(SQL_HANDLE_DBC, conn_handle_());
        std::string message =
            util::cat("Unable to connect to data source \"", sources_[active_].data_source, "\"");
        if (!last_connect_error_.empty()) {
            message += util::cat(": ", last_connect_error_);
        }
        throw odbc::database_error(message, refusal);
    }
    // Some drivers ask the server.
    detail::note_wait(detail::WaitStep::connect);
    DriverInfo info;
    info.driver_name = read_info_text(conn_handle_(), SQL_DRIVER_NAME, "SQL_DRIVER_NAME");
    info.driver_version = read_info_text(conn_handle_(), SQL_DRIVER_VER, "SQL_DRIVER_VER");
    info.odbc_version = read_info_text(conn_handle_(), SQL_DRIVER_ODBC_VER, "SQL_DRIVER_ODBC_VER");
    info.dbms_name = read_info_text(conn_handle_(), SQL_DBMS_NAME, "SQL_DBMS_NAME");
    info.dbms_version = read_info_text(conn_handle_(), SQL_DBMS_VER, "SQL_DBMS_VER");
    return info;
}

QueryResult Database::read_with_cache(const std::string& sql, CachePolicy policy,
                                      std::chrono::seconds max_age) {
    // The cache layer reads through this Database; this is its public entry.
    return detail::read_with_cache(*this, sql, policy, max_age);
}

}  // namespace zel::sql
