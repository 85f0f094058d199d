#include "backends.h"

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string_view>

namespace zel::sql::test::integration {
namespace {

// The sections of an INI file in their order, each with its keys. Lines are
// "[section]", "key = value", blank or a "#" comment; anything else is refused.
struct IniFile {
    std::vector<std::string> order;
    std::map<std::string, std::map<std::string, std::string>> sections;
};

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

IniFile read_ini(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    IniFile ini;
    std::string section;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        line = trimmed(line);
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (line.front() == '[' && line.back() == ']') {
            section = line.substr(1, line.size() - 2);
            ini.order.push_back(section);
            ini.sections[section];
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string::npos || section.empty()) {
            throw std::runtime_error(path + ":" + std::to_string(number) +
                                     ": not a key = value line");
        }
        ini.sections[section][trimmed(line.substr(0, equals))] = trimmed(line.substr(equals + 1));
    }
    return ini;
}

// Constant-initialized: the description is read before main, maybe before the
// dynamic initializers of this file have run.
constexpr std::string_view backend_prefix = "backend ";

struct Description {
    std::string reader;
    std::string reader_password;
    std::string tavik_file;
    std::map<std::string, Backend> backends;  // by section key
    std::vector<Backend> in_order;
    std::deque<std::string> texts;  // what the Backends point into

    explicit Description(const std::string& path) {
        const IniFile ini = read_ini(path);
        const auto value = [&](const std::string& section, const std::string& key) {
            const auto s = ini.sections.find(section);
            if (s != ini.sections.end()) {
                const auto v = s->second.find(key);
                if (v != s->second.end() && !v->second.empty()) {
                    return v->second;
                }
            }
            throw std::runtime_error(path + ": no " + key + " in [" + section + "]");
        };
        const auto keep = [&](const std::string& text) { return texts.emplace_back(text).c_str(); };
        reader = value("reader", "user");
        reader_password = value("reader", "password");
        tavik_file = value("tavik", "sqlite_file");
        for (const std::string& section : ini.order) {
            if (std::string_view(section).substr(0, backend_prefix.size()) != backend_prefix) {
                continue;
            }
            const std::string engine = value(section, "engine");
            if (engine != "postgresql" && engine != "sqlite" && engine != "mariadb") {
                throw std::runtime_error(path + ": unknown engine " + engine + " in [" + section +
                                         "]");
            }
            const Backend b{keep(value(section, "name")), keep(value(section, "data_source")),
                            engine == "sqlite", keep(value(section, "vacuum_flag_column")),
                            engine == "mariadb"};
            backends.emplace(section.substr(backend_prefix.size()), b);
            in_order.push_back(b);
        }
    }
};

// Read on first use. The names of backends.h are bound before main, where an
// exception would end the program without its message: it is printed first.
const Description& description() {
    static const Description d = [] {
        try {
            return Description(ZEL_SQL_TEST_BACKENDS_FILE);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "The description of the test backends is unusable: %s\n",
                         e.what());
            std::abort();
        }
    }();
    return d;
}

}  // namespace

const Backend& backend(const std::string& key) {
    const auto found = description().backends.find(key);
    if (found == description().backends.end()) {
        std::fprintf(stderr, "%s describes no backend \"%s\"\n", ZEL_SQL_TEST_BACKENDS_FILE,
                     key.c_str());
        std::abort();
    }
    return found->second;
}

const std::vector<Backend>& all_backends() {
    return description().in_order;
}

const std::string& reader_login() {
    return description().reader;
}

const std::string& reader_login_password() {
    return description().reader_password;
}

const std::string& tavik_sqlite_file() {
    return description().tavik_file;
}

}  // namespace zel::sql::test::integration
