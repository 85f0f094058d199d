// Servers that stop answering, through the real drivers: a PostgreSQL backend
// or a whole server paused with SIGSTOP, a MariaDB server paused the same way,
// and a listener that accepts connections and never says a word. Under a wait
// limit every bounded operation comes back within the limit plus a second,
// with the backup's list, the cached copy or a DatabaseError "HYT00"; once the
// server answers again, the same Database reads from it and the helper threads
// of the hung calls are gone.
//
// The paused servers are "wait" (PostgreSQL and MariaDB), which no other test
// uses; each test pauses only its own, and always lets it go on (SIGCONT) on
// the way out, also when it fails. The listeners use the ports that the setup
// recorded as silent-pg.port and silent-mariadb.port.

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "backends.h"
#include "component_printer.h"
#include "environment.h"
#include "sample_lists.h"
#include "server_control.h"
#include "test_support.h"
#include "zel/Error.h"
#include "zel/sql/ComponentList.h"
#include "zel/sql/Database.h"
#include "zel/sql/DatabaseError.h"

namespace zel::sql::test::integration {
namespace {

using test::TempWorkingDir;
using ::testing::StartsWith;
using Clock = std::chrono::steady_clock;

// Short, to keep the tests fast, yet far above any answer of a live local
// server on a busy machine.
constexpr std::chrono::milliseconds wait_limit{2000};
constexpr std::chrono::milliseconds return_bound = wait_limit + std::chrono::seconds(1);
const char* const overdue_message = "The database did not answer within 2 s (";
const char* const cached_sql = "SELECT NAME FROM TAVIK.MIRAN_VIEW_COMPONENTS ORDER BY NAME";

// --- the environment ---------------------------------------------------------

std::string first_line_of(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    if (!std::getline(file, line) || line.empty()) {
        throw std::runtime_error("cannot read " + path);
    }
    return line;
}

int port_of(const std::string& name) {
    return std::stoi(first_line_of(environment_dir() + "/" + name + ".port"));
}

// --- outages -----------------------------------------------------------------

// What was paused or silenced, let go on at destruction in the reverse order:
// a failing test never leaves a server stopped.
class Outage {
public:
    Outage() = default;
    Outage(const Outage&) = delete;
    Outage& operator=(const Outage&) = delete;
    ~Outage() { end(); }

    // One process, such as the backend of a session.
    void stop_process(pid_t pid) { processes_.stop(pid); }

    // A whole server of the environment (ServerPause's names).
    void pause_server(const std::string& server) {
        servers_.push_back(std::make_unique<ServerPause>(server));
    }

    void on_end(std::function<void()> resume) { resumes_.push_back(std::move(resume)); }

    void end() {
        while (!resumes_.empty()) {
            resumes_.back()();
            resumes_.pop_back();
        }
        processes_.resume();
        servers_.clear();
    }

private:
    ServerPause processes_;
    std::vector<std::unique_ptr<ServerPause>> servers_;
    std::vector<std::function<void()>> resumes_;
};

// A TCP relay on 127.0.0.1 to a live server, which can fall silent: it keeps
// accepting connections and holds them, but passes nothing on in either
// direction, as a paused host or a firewall that drops packets would. When it
// answers again, what waited is passed on, and held connections reach the
// server late. One thread of its own, ended by the destructor, which closes
// every connection.
class SilentRelay {
public:
    SilentRelay(int port, int server_port) : server_port_(server_port) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        const int on = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const sockaddr_in address = loopback(port);
        if (::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 16) != 0 || ::pipe(wake_) != 0) {
            const std::string reason = std::strerror(errno);
            ::close(listener_);
            throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " +
                                     reason);
        }
        thread_ = std::thread([this] { run(); });
    }
    SilentRelay(const SilentRelay&) = delete;
    SilentRelay& operator=(const SilentRelay&) = delete;
    ~SilentRelay() {
        stop_ = true;
        wake();
        thread_.join();
        ::close(listener_);
        ::close(wake_[0]);
        ::close(wake_[1]);
    }

    void fall_silent() {
        silent_ = true;
        wake();
    }
    void answer_again() {
        silent_ = false;
        wake();
    }

private:
    struct Link {
        int client;
        int server = -1;  // connected when the relay first passes something on
    };

    static sockaddr_in loopback(int port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return address;
    }

    void wake() {
        const char byte = 0;
        [[maybe_unused]] const auto written = ::write(wake_[1], &byte, 1);
    }

    static bool pass_on(int from, int to) {
        char buffer[65536];
        const ssize_t got = ::read(from, buffer, sizeof buffer);
        if (got <= 0) {
            return false;
        }
        for (ssize_t sent = 0; sent < got;) {
            const ssize_t n = ::write(to, buffer + sent, static_cast<std::size_t>(got - sent));
            if (n <= 0) {
                return false;
            }
            sent += n;
        }
        return true;
    }

    void run() {
        std::vector<Link> links;
        while (!stop_) {
            const bool silent = silent_;
            std::vector<pollfd> polled{{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
            for (Link& link : links) {
                if (!silent && link.server < 0) {
                    link.server = ::socket(AF_INET, SOCK_STREAM, 0);
                    const sockaddr_in server = loopback(server_port_);
                    ::connect(link.server, reinterpret_cast<const sockaddr*>(&server),
                              sizeof server);
                }
                if (!silent) {
                    polled.push_back({link.client, POLLIN, 0});
                    polled.push_back({link.server, POLLIN, 0});
                }
            }
            if (::poll(polled.data(), polled.size(), -1) < 0) {
                continue;
            }
            if (polled[1].revents != 0) {
                char drained[64];
                [[maybe_unused]] const auto got = ::read(wake_[0], drained, sizeof drained);
            }
            std::vector<Link> open;
            for (std::size_t i = 0; i < links.size(); ++i) {
                bool alive = true;
                if (!silent) {
                    const pollfd& client = polled[2 + 2 * i];
                    const pollfd& server = polled[3 + 2 * i];
                    if (client.revents != 0) {
                        alive = pass_on(links[i].client, links[i].server);
                    }
                    if (alive && server.revents != 0) {
                        alive = pass_on(links[i].server, links[i].client);
                    }
                }
                if (alive) {
                    open.push_back(links[i]);
                } else {
                    ::close(links[i].client);
                    ::close(links[i].server);
                }
            }
            links = std::move(open);
            if (polled[0].revents != 0) {
                const int client = ::accept(listener_, nullptr, nullptr);
                if (client >= 0) {
                    links.push_back({client});
                }
            }
        }
        for (const Link& link : links) {
            ::close(link.client);
            if (link.server >= 0) {
                ::close(link.server);
            }
        }
    }

    int server_port_;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    std::atomic<bool> silent_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// --- the checks --------------------------------------------------------------

// How a server stops answering a Database.
struct Hang {
    const char* what;
    const char* data_source;
    // false: the server stops before the Database first logs in; true: after
    // it has read once, on the connection that it reuses.
    bool mid_session;
    // Stops the server from answering `db`, recording in `outage` how to let
    // it go on.
    std::function<void(Database& db, Outage& outage)> start;
    // true: every bounded operation needs a new start, since the one before
    // gave up the hung connection and logs in anew to a server that answers.
    bool start_before_each_call = false;
};

template <typename Result>
Result timed(const char* what, const std::function<Result()>& call) {
    const auto start = Clock::now();
    Result result = call();
    const auto took = Clock::now() - start;
    EXPECT_LT(took, return_bound)
        << what << " took " << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
        << " ms";
    return result;
}

void expect_thread_count_back_to(std::size_t before) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (thread_count() != before && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(thread_count(), before) << "helper threads of the hung calls are still running";
}

// The three bounded operations against a hung server, each within the limit
// plus a second, then the same Database once the server answers again. Each
// call waits for the server itself: the Database holds nothing back (the
// standby tests cover the hold-back).
void expect_bounded_and_recovered(const Hang& hang) {
    SCOPED_TRACE(hang.what);
    TempWorkingDir scratch;
    backup_only_list().write_to_file(miran_backup);
    QueryResult stored;
    {
        Database live(hang.data_source, reader, reader_password);
        live.set_wait_limit(wait_limit);
        stored = live.read_with_cache(cached_sql);
        ASSERT_FALSE(stored.from_cache) << stored.message;
        ASSERT_FALSE(stored.rows.empty());
    }
    Database db(hang.data_source, reader, reader_password);
    db.set_wait_limit(wait_limit);
    db.set_hold_back(std::chrono::milliseconds(0));
    if (hang.mid_session) {
        ComponentList first;
        first.read_from_db(db, "miran");
        ASSERT_EQ(first, expected_miran_list());
    }
    const std::size_t threads_before = thread_count();
    {
        Outage outage;
        hang.start(db, outage);

        ComponentList list;
        const std::string message = timed<std::string>(
            "read_from_db_with_backup", [&] { return list.read_from_db_with_backup(db, "miran"); });
        EXPECT_THAT(message, StartsWith(overdue_message));
        EXPECT_EQ(list, backup_only_list());

        if (hang.start_before_each_call) {
            hang.start(db, outage);
        }
        const QueryResult cached =
            timed<QueryResult>("read_with_cache", [&] { return db.read_with_cache(cached_sql); });
        EXPECT_TRUE(cached.from_cache);
        EXPECT_THAT(cached.message, StartsWith(overdue_message));
        EXPECT_EQ(cached.rows, stored.rows);

        if (hang.start_before_each_call) {
            hang.start(db, outage);
        }
        const std::string sqlstate = timed<std::string>("read_from_db", [&] {
            ComponentList unread;
            try {
                unread.read_from_db(db, "miran");
            } catch (const DatabaseError& e) {
                EXPECT_THAT(e.get_message(), StartsWith(overdue_message));
                return e.get_sqlstate();
            }
            return std::string("no DatabaseError");
        });
        EXPECT_EQ(sqlstate, "HYT00");
    }

    ComponentList again;
    again.read_from_db(db, "miran");
    EXPECT_EQ(again, expected_miran_list());
    expect_thread_count_back_to(threads_before);
}

// --- the tests ---------------------------------------------------------------

// Both cases pause server "wait", one after the other, never side by side.
TEST(BoundedWaitPostgres, BackendPausedMidSessionAndServerPausedAtLogin) {
    const char* const data_source = "zel_pg_wait";
    expect_bounded_and_recovered({"the session's backend stopped", data_source, true,
                                  [](Database& db, Outage& outage) {
                                      Query pid = db.send_query("SELECT pg_backend_pid()");
                                      ASSERT_TRUE(pid.fetch_checked());
                                      outage.stop_process(
                                          std::stoi(pid.get_column_as_string(1, nullptr)));
                                  },
                                  true});
    expect_bounded_and_recovered({"the postmaster and every backend stopped", data_source, false,
                                  [](Database&, Outage& outage) { outage.pause_server("wait"); }});
}

TEST(BoundedWaitMariaDb, ServerPausedMidSessionAndAtLogin) {
    const auto stop_server = [](Database&, Outage& outage) { outage.pause_server("mariadb-wait"); };
    expect_bounded_and_recovered(
        {"server stopped mid-session", "zel_mariadb_wait", true, stop_server});
    expect_bounded_and_recovered(
        {"server stopped at login", "zel_mariadb_wait", false, stop_server});
}

// A listener that accepts and never answers, at login and mid-session. It
// relays to the environment's main server while it answers, so that the copy
// can be stored and the Database can read again afterwards.
void expect_bounded_behind_silent_listener(const char* data_source, const char* port,
                                           const char* server_port) {
    SilentRelay relay(port_of(port), port_of(server_port));
    const auto fall_silent = [&relay](Database&, Outage& outage) {
        relay.fall_silent();
        outage.on_end([&relay] { relay.answer_again(); });
    };
    expect_bounded_and_recovered({"silent at login", data_source, false, fall_silent});
    expect_bounded_and_recovered({"silent mid-session", data_source, true, fall_silent});
}

TEST(BoundedWaitSilentListener, BehindPsqlOdbc) {
    expect_bounded_behind_silent_listener("zel_pg_silent", "silent-pg", "pg-main");
}

TEST(BoundedWaitSilentListener, BehindMariaDbConnector) {
    expect_bounded_behind_silent_listener("zel_mariadb_silent", "silent-mariadb", "mariadb-main");
}

}  // namespace
}  // namespace zel::sql::test::integration
