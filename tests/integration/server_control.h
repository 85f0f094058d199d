#ifndef ZEL_SQL_TESTS_INTEGRATION_SERVER_CONTROL_H_
#define ZEL_SQL_TESTS_INTEGRATION_SERVER_CONTROL_H_

// Outages of the environment's database servers, for the fault tests. Each
// runs test_env.sh; SERVER is a PostgreSQL cluster name, or "mariadb-" and a
// MariaDB server name. Every test that stops a server has one of its own, so
// that tests running in parallel never see each other's outages.

#include <string>

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

}  // namespace zel::sql::test::integration

#endif  // ZEL_SQL_TESTS_INTEGRATION_SERVER_CONTROL_H_
