#include "connections.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "environment.h"
#include "zel/Error.h"

namespace zel::sql::test::integration {

void attach_tavik(Database& db) {
    std::string path = environment_dir() + "/" + tavik_sqlite_file();
    // A quote in the path is doubled, as in any SQL string literal.
    for (std::size_t at = path.find('\''); at != std::string::npos; at = path.find('\'', at + 2)) {
        path.insert(at, 1, '\'');
    }
    db.send_query("ATTACH DATABASE '" + path + "' AS TAVIK");
}

void apply_test_wait_limit(Database& db) {
    if (const char* limit = std::getenv("ZEL_SQL_TEST_WAIT_LIMIT_MS")) {
        db.set_wait_limit(std::chrono::milliseconds(std::stoll(limit)));
    }
}

std::unique_ptr<Database> open_database(const Backend& backend) {
    if (backend.is_sqlite) {
        auto db = std::make_unique<Database>(backend.data_source, "", "");
        apply_test_wait_limit(*db);
        attach_tavik(*db);
        return db;
    }
    auto db = std::make_unique<Database>(backend.data_source, reader, reader_password);
    apply_test_wait_limit(*db);
    return db;
}

void expect_login_accepted(const char* data_source) {
    Database db(data_source, reader, reader_password);
    try {
        Query query = db.send_query("SELECT 1");
        EXPECT_TRUE(query.fetch()) << data_source;
    } catch (const Error& e) {
        ADD_FAILURE() << data_source << ": " << e.get_message();
    }
}

void wait_for_login(const char* data_source) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::string last_error;
    while (std::chrono::steady_clock::now() < deadline) {
        try {
            Database db(data_source, reader, reader_password);
            Query query = db.send_query("SELECT 1");
            if (query.fetch()) {
                return;
            }
        } catch (const Error& e) {
            last_error = e.get_message();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ADD_FAILURE() << data_source << " refuses logins after 30 s: " << last_error;
}

}  // namespace zel::sql::test::integration
