// The scripting and inspection API of the fake, and its global state.

#include "fake_odbc.h"

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>

#include "fake_odbc_state.h"

namespace zel::sql::test::fake_odbc {

namespace detail {

State& state() {
    static State the_state;
    return the_state;
}

std::recursive_mutex& state_mutex() {
    static std::recursive_mutex mutex;
    return mutex;
}

namespace {

// The hang of block_next_call(): kept apart from the state, whose lock a
// blocked call must not hold.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<Fn> armed;
    std::map<Fn, std::chrono::milliseconds> delays;
    bool blocked = false;
    bool released = false;
};

Gate& gate() {
    static Gate the_gate;
    return the_gate;
}

std::condition_variable_any& log_changed() {
    static std::condition_variable_any cv;
    return cv;
}

}  // namespace

void pass_gate(Fn fn) {
    Gate& g = gate();
    std::unique_lock<std::mutex> lock(g.mutex);
    if (const auto delay = g.delays.find(fn); delay != g.delays.end()) {
        const std::chrono::milliseconds duration = delay->second;
        lock.unlock();
        std::this_thread::sleep_for(duration);
        lock.lock();
    }
    if (g.armed != fn) {
        return;
    }
    g.armed.reset();
    g.blocked = true;
    g.changed.notify_all();
    g.changed.wait(lock, [&g] { return g.released; });
    g.blocked = false;
    g.released = false;
}

void call_logged() {
    log_changed().notify_all();
}

HandleState* find_live(SQLHANDLE handle, SQLSMALLINT type) {
    auto it = state().handles.find(handle);
    if (it == state().handles.end() || !it->second.live || it->second.type != type) {
        return nullptr;
    }
    return &it->second;
}

SQLHANDLE new_handle(SQLSMALLINT type, SQLHANDLE parent) {
    State& s = state();
    const int serial = ++s.serials[type];
    // Readable in a debugger and never reused before reset(): 0x100010 is the
    // first environment, 0x200010 the first connection, 0x300010 the first
    // statement.
    const auto value =
        static_cast<std::uintptr_t>(type) * 0x100000u + static_cast<std::uintptr_t>(serial) * 0x10u;
    const auto handle = reinterpret_cast<SQLHANDLE>(value);
    HandleState h;
    h.type = type;
    h.serial = serial;
    h.parent = parent;
    s.handles[handle] = std::move(h);
    s.last[type] = handle;
    s.allocation_order.push_back(handle);
    return handle;
}

std::optional<Outcome> next_outcome(Fn fn) {
    Script& script = state().scripts[fn];
    const int call_number = ++script.calls;
    auto at = script.at.find(call_number);
    if (at != script.at.end()) {
        Outcome outcome = std::move(at->second);
        script.at.erase(at);
        return outcome;
    }
    if (!script.queue.empty()) {
        Outcome outcome = std::move(script.queue.front());
        script.queue.pop_front();
        return outcome;
    }
    return script.always;
}

}  // namespace detail

using detail::state;

const char* name_of(Fn fn) {
    switch (fn) {
        case Fn::alloc_handle:
            return "SQLAllocHandle";
        case Fn::free_handle:
            return "SQLFreeHandle";
        case Fn::set_env_attr:
            return "SQLSetEnvAttr";
        case Fn::set_connect_attr:
            return "SQLSetConnectAttr";
        case Fn::set_stmt_attr:
            return "SQLSetStmtAttr";
        case Fn::connect:
            return "SQLConnect";
        case Fn::disconnect:
            return "SQLDisconnect";
        case Fn::exec_direct:
            return "SQLExecDirect";
        case Fn::fetch:
            return "SQLFetch";
        case Fn::cancel:
            return "SQLCancel";
        case Fn::get_data:
            return "SQLGetData";
        case Fn::bind_col:
            return "SQLBindCol";
        case Fn::bind_parameter:
            return "SQLBindParameter";
        case Fn::get_diag_rec:
            return "SQLGetDiagRec";
        case Fn::get_connect_attr:
            return "SQLGetConnectAttr";
        case Fn::num_result_cols:
            return "SQLNumResultCols";
        case Fn::describe_col:
            return "SQLDescribeCol";
        case Fn::free_stmt:
            return "SQLFreeStmt";
        case Fn::get_info:
            return "SQLGetInfo";
        case Fn::get_functions:
            return "SQLGetFunctions";
        case Fn::col_attribute:
            return "SQLColAttribute";
        case Fn::set_pos:
            return "SQLSetPos";
        case Fn::end_tran:
            return "SQLEndTran";
        case Fn::prepare:
            return "SQLPrepare";
        case Fn::execute:
            return "SQLExecute";
        case Fn::num_params:
            return "SQLNumParams";
        case Fn::row_count:
            return "SQLRowCount";
        case Fn::more_results:
            return "SQLMoreResults";
    }
    return "?";
}

// --- values and result sets ------------------------------------------------------

Value null() {
    return Value{};
}

Value text(std::string bytes) {
    Value v;
    v.kind = Value::Kind::text;
    v.bytes = std::move(bytes);
    return v;
}

Value binary(std::vector<unsigned char> bytes) {
    Value v;
    v.kind = Value::Kind::binary;
    v.bytes.assign(bytes.begin(), bytes.end());
    return v;
}

std::vector<unsigned char> pattern_bytes(std::size_t size) {
    std::vector<unsigned char> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<unsigned char>(i % 256);
    }
    return bytes;
}

Value binary_pattern(std::size_t size) {
    return binary(pattern_bytes(size));
}

Value real(double number) {
    Value v;
    v.kind = Value::Kind::real;
    v.real = number;
    return v;
}

Value integer(long long number) {
    Value v;
    v.kind = Value::Kind::integer;
    v.integer = number;
    return v;
}

Value without_total(Value value) {
    value.no_total = true;
    return value;
}

Value unterminated(Value value) {
    value.unterminated = true;
    return value;
}

Value unconvertible(Diagnostic error) {
    Value value = text("");
    value.conversion_error = std::move(error);
    return value;
}

ResultSet& ResultSet::row(std::vector<Value> values) {
    if (static_cast<int>(values.size()) != columns_) {
        throw std::invalid_argument("fake_odbc::ResultSet::row: expected " +
                                    std::to_string(columns_) + " values, got " +
                                    std::to_string(values.size()));
    }
    Entry entry;
    entry.values = std::move(values);
    entries_.push_back(std::move(entry));
    return *this;
}

ResultSet& ResultSet::error(std::vector<Diagnostic> diagnostics) {
    Entry entry;
    entry.is_error = true;
    entry.diagnostics = std::move(diagnostics);
    entries_.push_back(std::move(entry));
    return *this;
}

ResultSet& ResultSet::names(std::vector<std::string> column_names) {
    if (static_cast<int>(column_names.size()) != columns_) {
        throw std::invalid_argument("fake_odbc::ResultSet::names: expected " +
                                    std::to_string(columns_) + " names, got " +
                                    std::to_string(column_names.size()));
    }
    names_ = std::move(column_names);
    return *this;
}

ResultSet& ResultSet::sizes(std::vector<SQLULEN> column_sizes) {
    if (column_sizes.size() != static_cast<std::size_t>(columns_)) {
        throw std::invalid_argument("fake_odbc::ResultSet::sizes: expected " +
                                    std::to_string(columns_) + " sizes");
    }
    sizes_ = std::move(column_sizes);
    return *this;
}

SQLULEN ResultSet::size(int column) const {
    const auto index = static_cast<std::size_t>(column - 1);
    return index < sizes_.size() ? sizes_[index] : 0;
}

std::string ResultSet::name(int column) const {
    if (names_.empty()) {
        return "C" + std::to_string(column);
    }
    return names_.at(static_cast<std::size_t>(column - 1));
}

// --- scripting -------------------------------------------------------------------

void reset() {
    state() = detail::State{};
    detail::Gate& g = detail::gate();
    const std::lock_guard<std::mutex> lock(g.mutex);
    g.armed.reset();
    g.delays.clear();
}

void delay_calls(Fn fn, std::chrono::milliseconds delay) {
    detail::Gate& g = detail::gate();
    const std::lock_guard<std::mutex> lock(g.mutex);
    g.delays[fn] = delay;
}

void block_next_call(Fn fn) {
    detail::Gate& g = detail::gate();
    const std::lock_guard<std::mutex> lock(g.mutex);
    g.armed = fn;
    g.released = false;
}

bool wait_for_blocked_call(std::chrono::milliseconds timeout) {
    detail::Gate& g = detail::gate();
    std::unique_lock<std::mutex> lock(g.mutex);
    return g.changed.wait_for(lock, timeout, [&g] { return g.blocked; });
}

void release_blocked_call() {
    detail::Gate& g = detail::gate();
    const std::lock_guard<std::mutex> lock(g.mutex);
    g.armed.reset();
    g.released = true;
    g.changed.notify_all();
}

bool wait_for_calls(const std::function<bool(const std::vector<Call>&)>& done,
                    std::chrono::milliseconds timeout) {
    std::unique_lock<std::recursive_mutex> lock(detail::state_mutex());
    return detail::log_changed().wait_for(lock, timeout, [&done] { return done(state().log); });
}

void set_result(Fn fn, SQLRETURN code, std::vector<Diagnostic> diagnostics) {
    state().scripts[fn].always = Outcome{code, std::move(diagnostics)};
}

void set_result_at(Fn fn, int call_number, SQLRETURN code, std::vector<Diagnostic> diagnostics) {
    state().scripts[fn].at[call_number] = Outcome{code, std::move(diagnostics)};
}

void queue_result(Fn fn, SQLRETURN code, std::vector<Diagnostic> diagnostics) {
    state().scripts[fn].queue.push_back(Outcome{code, std::move(diagnostics)});
}

void clear_results(Fn fn) {
    detail::Script& script = state().scripts[fn];
    script.at.clear();
    script.queue.clear();
    script.always.reset();
}

void set_result_set_for(std::string sql, ResultSet result) {
    state().result_sets_by_text.insert_or_assign(std::move(sql), std::move(result));
}

void queue_result_set(ResultSet result) {
    state().queued_result_sets.push_back(std::move(result));
}

void set_parameter_output(int parameter, Value value) {
    state().parameter_outputs.insert_or_assign(parameter, std::move(value));
}

void set_row_count(SQLLEN count) {
    state().row_count = count;
}

void set_parameter_status(std::vector<SQLUSMALLINT> status) {
    state().parameter_status = std::move(status);
}

void set_driver_info(DriverInfo info) {
    state().driver_info = std::move(info);
}

void lose_connection(SQLHANDLE dbc) {
    detail::HandleState* h = detail::find_live(dbc, SQL_HANDLE_DBC);
    if (h == nullptr || !h->connected) {
        throw std::invalid_argument("fake_odbc::lose_connection: not a connected connection");
    }
    h->server_gone = true;
}

void set_diagnostics(SQLHANDLE handle, std::vector<Diagnostic> diagnostics) {
    auto it = state().handles.find(handle);
    if (it == state().handles.end() || !it->second.live) {
        throw std::invalid_argument("fake_odbc::set_diagnostics: not a live handle");
    }
    it->second.diagnostics = std::move(diagnostics);
}

// --- inspection ----------------------------------------------------------------

SQLHANDLE Call::handle() const {
    switch (fn) {
        case Fn::alloc_handle:
        case Fn::free_handle:
        case Fn::get_diag_rec:
        case Fn::end_tran:
            return const_cast<void*>(pointer(1));
        default:
            return const_cast<void*>(pointer(0));
    }
}

const std::vector<Call>& calls() {
    return state().log;
}

std::vector<Call> calls_of(Fn fn) {
    std::vector<Call> result;
    for (const Call& call : state().log) {
        if (call.fn == fn) {
            result.push_back(call);
        }
    }
    return result;
}

Call nth_call(Fn fn, std::size_t index) {
    std::size_t seen = 0;
    for (const Call& call : state().log) {
        if (call.fn == fn && seen++ == index) {
            return call;
        }
    }
    throw std::out_of_range(std::string("fake_odbc::nth_call: no call ") + std::to_string(index) +
                            " of " + name_of(fn) + " in the log");
}

std::vector<std::string> call_names() {
    std::vector<std::string> names;
    for (const Call& call : state().log) {
        names.emplace_back(call.name());
    }
    return names;
}

int count(Fn fn) {
    int n = 0;
    for (const Call& call : state().log) {
        n += call.fn == fn ? 1 : 0;
    }
    return n;
}

void clear_calls() {
    state().log.clear();
}

SQLHANDLE last_handle(SQLSMALLINT handle_type) {
    auto it = state().last.find(handle_type);
    return it == state().last.end() ? SQL_NULL_HANDLE : it->second;
}

std::vector<SQLHANDLE> live_handles(SQLSMALLINT handle_type) {
    std::vector<SQLHANDLE> result;
    for (SQLHANDLE handle : state().allocation_order) {
        if (detail::find_live(handle, handle_type) != nullptr) {
            result.push_back(handle);
        }
    }
    return result;
}

bool is_live(SQLHANDLE handle) {
    auto it = state().handles.find(handle);
    return it != state().handles.end() && it->second.live;
}

bool is_connected(SQLHANDLE dbc) {
    const detail::HandleState* h = detail::find_live(dbc, SQL_HANDLE_DBC);
    return h != nullptr && h->connected;
}

std::optional<long long> statement_attribute(SQLHANDLE stmt, SQLINTEGER attribute) {
    auto it = state().handles.find(stmt);
    if (it == state().handles.end()) {
        return std::nullopt;
    }
    auto attr = it->second.attributes.find(attribute);
    if (attr == it->second.attributes.end()) {
        return std::nullopt;
    }
    return attr->second;
}

std::string describe(SQLHANDLE handle) {
    auto it = state().handles.find(handle);
    if (it == state().handles.end()) {
        return "?";
    }
    const char* kind = it->second.type == SQL_HANDLE_ENV   ? "env"
                       : it->second.type == SQL_HANDLE_DBC ? "dbc"
                                                           : "stmt";
    return std::string(kind) + "#" + std::to_string(it->second.serial);
}

}  // namespace zel::sql::test::fake_odbc
