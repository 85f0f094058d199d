#include "odbc_call_counter.h"

#include <dlfcn.h>
#include <sql.h>
#include <sqlext.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace zel::sql::test::integration {
namespace {

std::atomic<int> connects{0};
std::atomic<int> dead_questions{0};
std::atomic<int> answered_alive{0};
std::atomic<int> answered_dead{0};

// The driver manager's own definition of `name`, the next one after ours.
template <typename Function>
Function driver_manager_function(const char* name) {
    void* found = dlsym(RTLD_NEXT, name);
    if (found == nullptr) {
        std::fprintf(stderr, "odbc_call_counter: no %s after this program's\n", name);
        std::abort();
    }
    return reinterpret_cast<Function>(found);
}

}  // namespace

OdbcCallCounts odbc_call_counts() {
    OdbcCallCounts counts;
    counts.connects = connects.load();
    counts.dead_questions = dead_questions.load();
    counts.answered_alive = answered_alive.load();
    counts.answered_dead = answered_dead.load();
    return counts;
}

OdbcCallCounts odbc_calls_since(const OdbcCallCounts& before) {
    OdbcCallCounts now = odbc_call_counts();
    now.connects -= before.connects;
    now.dead_questions -= before.dead_questions;
    now.answered_alive -= before.answered_alive;
    now.answered_dead -= before.answered_dead;
    return now;
}

}  // namespace zel::sql::test::integration

using zel::sql::test::integration::driver_manager_function;

extern "C" {

SQLRETURN SQL_API SQLConnect(SQLHDBC ConnectionHandle, SQLCHAR* ServerName, SQLSMALLINT NameLength1,
                             SQLCHAR* UserName, SQLSMALLINT NameLength2, SQLCHAR* Authentication,
                             SQLSMALLINT NameLength3) {
    static const auto real = driver_manager_function<decltype(&SQLConnect)>("SQLConnect");
    ++zel::sql::test::integration::connects;
    return real(ConnectionHandle, ServerName, NameLength1, UserName, NameLength2, Authentication,
                NameLength3);
}

SQLRETURN SQL_API SQLGetConnectAttr(SQLHDBC ConnectionHandle, SQLINTEGER Attribute,
                                    SQLPOINTER Value, SQLINTEGER BufferLength,
                                    SQLINTEGER* StringLength) {
    static const auto real =
        driver_manager_function<decltype(&SQLGetConnectAttr)>("SQLGetConnectAttr");
    const SQLRETURN code = real(ConnectionHandle, Attribute, Value, BufferLength, StringLength);
    if (Attribute == SQL_ATTR_CONNECTION_DEAD) {
        ++zel::sql::test::integration::dead_questions;
        if ((code == SQL_SUCCESS || code == SQL_SUCCESS_WITH_INFO) && Value != nullptr) {
            const SQLUINTEGER answer = *static_cast<SQLUINTEGER*>(Value);
            if (answer == SQL_CD_TRUE) {
                ++zel::sql::test::integration::answered_dead;
            } else if (answer == SQL_CD_FALSE) {
                ++zel::sql::test::integration::answered_alive;
            }
        }
    }
    return code;
}

}  // extern "C"
