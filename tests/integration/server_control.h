#ifndef ZEL_SQL_TESTS_INTEGRATION_SERVER_CONTROL_H_
#define ZEL_SQL_TESTS_INTEGRATION_SERVER_CONTROL_H_

// Outages of the environment's database servers, for the fault tests. Each
// runs test_env.sh; SERVER is a PostgreSQL cluster name, or "mariadb-" and a
// MariaDB server name. Every test that stops a server has one of its own, so
// that tests running in parallel never see each other's outages.

#include <sys/types.h>

#include <string>
#include <vector>

namespace zel::sql::test::integration {

// Stops a server of the environment and starts it again on destruction, so a
// failing test leaves it running for the next one.
class ServerHalt {
public:
    explicit ServerHalt(std::string cluster);
    ServerHalt(const ServerHalt&) = delete;
    ServerHalt& operator=(const ServerHalt&) = delete;
    ~ServerHalt();

private:
    std::string cluster_;
};

// Shuts a server down at once, without waiting for its clients, as a crash
// would (pg_ctl's immediate mode; SIGKILL for MariaDB).
void crash_server(const std::string& cluster);

// Starts a server again unless it is running.
void resume_server(const std::string& cluster);

// Pauses a server of the environment with SIGSTOP, as a hung host would: the
// server's own processes, found through its pid file (PostgreSQL: the
// postmaster first, so that it starts no process that escapes, then each of
// its children; MariaDB: the one server process), never a runuser or shell
// that started it. Returns once every thread of them has stopped. Every
// process stopped is continued (SIGCONT) by resume() or on destruction, also
// when a test fails on the way; a process that cannot be stopped throws after
// those already stopped have been continued.
class ServerPause {
public:
    // Pauses nothing yet: see stop().
    ServerPause() = default;
    explicit ServerPause(const std::string& server);
    ServerPause(const ServerPause&) = delete;
    ServerPause& operator=(const ServerPause&) = delete;
    ~ServerPause();

    // Pauses one more process (one backend of a session, say) and returns
    // once every thread of it has stopped; it is continued like the rest.
    void stop(pid_t pid);

    // Continues every paused process, in the reverse order; idempotent.
    void resume();

private:
    std::vector<pid_t> stopped_;
};

}  // namespace zel::sql::test::integration

#endif  // ZEL_SQL_TESTS_INTEGRATION_SERVER_CONTROL_H_
