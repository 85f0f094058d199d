// The cost of bounded waiting, pair by pair: the same 100,000-component load
// and the same cached read (read and stored, never served from the copy) on
// two Databases of one data source, one with the default wait limit and one
// with the limit 0, alternated in the order ABBA so that a drift of the
// machine's load falls on both sides alike.
//
//   zel_sql_bench_bounded_cost [--pairs N] [--only load|cache] [--limit0-only]
//                              [--small] WORK_DIR DSN [SQLITE_FILE]
//
// --small reads the 10,000-component facility instead: small enough for a
// PostgreSQL load under callgrind to end within the server's statement
// time-out.
// --limit0-only measures the limit-0 side alone, in a process that never
// starts a helper thread: what the limit 0 costs without the other side's
// malloc arenas in the process.
// Each measurement is the process's CPU time over all threads (user and
// system, from getrusage), its minor page faults and the wall time. Under
// valgrind --tool=callgrind it also dumps the instruction counts of every
// measured operation apart ("load-default-3", "cache-limit0-1", ...), so that
// callgrind_annotate can tell where the difference goes. Prints one line per
// operation, then the medians, the smallest and largest value and the ratio
// default / limit 0 of the medians.

#include <sys/resource.h>
#include <valgrind/callgrind.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "component_fixture.h"
#include "zel/Error.h"
#include "zel/sql/ComponentList.h"
#include "zel/sql/Database.h"

namespace {

using zel::sql::ComponentList;
using zel::sql::Database;

struct Sample {
    double cpu_ms;
    double sys_ms;
    double minor_faults;
    double wall_ms;
};

struct Snapshot {
    rusage usage;
    std::chrono::steady_clock::time_point wall;

    static Snapshot now() {
        Snapshot s{};
        getrusage(RUSAGE_SELF, &s.usage);
        s.wall = std::chrono::steady_clock::now();
        return s;
    }
};

double ms(const timeval& t) {
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3;
}

Sample between(const Snapshot& a, const Snapshot& b) {
    const double sys = ms(b.usage.ru_stime) - ms(a.usage.ru_stime);
    return {ms(b.usage.ru_utime) - ms(a.usage.ru_utime) + sys, sys,
            static_cast<double>(b.usage.ru_minflt - a.usage.ru_minflt),
            std::chrono::duration<double, std::milli>(b.wall - a.wall).count()};
}

std::unique_ptr<Database> open(const std::string& dsn, const std::string& sqlite_file,
                               const std::string& cache_folder, bool limited) {
    auto db = std::make_unique<Database>(dsn, "", "");
    if (!limited) {
        db->set_wait_limit(std::chrono::milliseconds(0));
    }
    if (!sqlite_file.empty()) {
        db->send_query(zel::sql::bench::attach_tavik_statement(sqlite_file));
    }
    db->get_cache().set_folder(cache_folder);
    return db;
}

// The facility read, and how many components it has.
const char* facility = zel::sql::bench::large_facility;
std::size_t facility_size = zel::sql::bench::large_facility_size;

struct Side {
    std::unique_ptr<Database> db;
    ComponentList list;  // reloaded each time, as a control program does
};

void load(Side& side) {
    side.list.read_from_db(*side.db, facility);
    if (side.list.components_.size() != facility_size) {
        std::fprintf(stderr, "loaded %zu components\n", side.list.components_.size());
        std::exit(1);
    }
}

void cached_read(Side& side, const std::string& sql) {
    const zel::sql::QueryResult result = side.db->read_with_cache(sql);
    if (result.from_cache || !result.message.empty() || result.rows.size() != facility_size) {
        std::fprintf(stderr, "not read and stored: %s\n", result.message.c_str());
        std::exit(1);
    }
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    int pairs = 10;
    std::string only;
    bool limit0_only = false;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--pairs" && i + 1 < argc) {
            pairs = std::atoi(argv[++i]);
        } else if (arg == "--only" && i + 1 < argc) {
            only = argv[++i];
        } else if (arg == "--limit0-only") {
            limit0_only = true;
        } else if (arg == "--small") {
            facility = zel::sql::bench::small_facility;
            facility_size = zel::sql::bench::small_facility_size;
        } else {
            args.push_back(arg);
        }
    }
    if (args.size() < 2 || args.size() > 3 || pairs < 1) {
        std::fprintf(
            stderr,
            "usage: %s [--pairs N] [--only load|cache] [--limit0-only] [--small] WORK_DIR DSN "
            "[SQLITE_FILE]\n",
            argv[0]);
        return 2;
    }
    const std::string sqlite_file = args.size() == 3 ? args[2] : "";
    const std::string sql = "SELECT * FROM " + zel::sql::component_view_full_name(facility);
    try {
        Side sides[2];
        sides[0].db = open(args[1], sqlite_file, args[0] + "/bounded-cost-limit0", false);
        if (!limit0_only) {
            sides[1].db = open(args[1], sqlite_file, args[0] + "/bounded-cost-default", true);
        }
        const char* const side_names[2] = {"limit0", "default"};

        // What is measured, kind by kind: {kind, side} -> samples.
        std::map<std::pair<std::string, int>, std::vector<Sample>> samples;
        const auto measure = [&](const std::string& kind, int side, int round) {
            const std::string label = kind + "-" + side_names[side] + "-" + std::to_string(round);
            CALLGRIND_ZERO_STATS;
            const Snapshot before = Snapshot::now();
            if (kind == "load") {
                load(sides[side]);
            } else {
                cached_read(sides[side], sql);
            }
            const Snapshot after = Snapshot::now();
            CALLGRIND_DUMP_STATS_AT(label.c_str());
            const Sample s = between(before, after);
            samples[{kind, side}].push_back(s);
            std::printf("%-22s cpu %8.1f ms  sys %7.1f ms  minflt %8.0f  wall %8.1f ms\n",
                        label.c_str(), s.cpu_ms, s.sys_ms, s.minor_faults, s.wall_ms);
            std::fflush(stdout);
        };

        std::vector<std::string> kinds;
        if (only.empty() || only == "load") {
            kinds.push_back("load");
        }
        if (only.empty() || only == "cache") {
            kinds.push_back("cache");
        }
        // One unmeasured round warms the connections, the server's cache and
        // the lists' capacity.
        for (const std::string& kind : kinds) {
            for (int side = 0; side < (limit0_only ? 1 : 2); ++side) {
                kind == "load" ? load(sides[side]) : cached_read(sides[side], sql);
            }
        }
        for (int round = 0; round < pairs; ++round) {
            for (const std::string& kind : kinds) {
                const int first = round % 2;  // ABBA over two rounds
                if (limit0_only) {
                    measure(kind, 0, round);
                    continue;
                }
                measure(kind, first, round);
                measure(kind, 1 - first, round);
            }
        }

        std::printf("\n%-6s %-8s %28s %28s %22s %22s\n", "", "", "cpu ms: median [min, max]",
                    "wall ms: median [min, max]", "sys ms: median", "minflt: median");
        for (const std::string& kind : kinds) {
            double cpu_median[2] = {0, 0};
            double wall_median[2] = {0, 0};
            for (int side = 0; side < (limit0_only ? 1 : 2); ++side) {
                const std::vector<Sample>& v = samples[{kind, side}];
                std::vector<double> cpu, wall, sys, flt;
                for (const Sample& s : v) {
                    cpu.push_back(s.cpu_ms);
                    wall.push_back(s.wall_ms);
                    sys.push_back(s.sys_ms);
                    flt.push_back(s.minor_faults);
                }
                cpu_median[side] = median(cpu);
                wall_median[side] = median(wall);
                std::printf("%-6s %-8s %10.1f [%6.1f, %6.1f] %10.1f [%6.1f, %6.1f] %22.1f %22.0f\n",
                            kind.c_str(), side_names[side], cpu_median[side],
                            *std::min_element(cpu.begin(), cpu.end()),
                            *std::max_element(cpu.begin(), cpu.end()), wall_median[side],
                            *std::min_element(wall.begin(), wall.end()),
                            *std::max_element(wall.begin(), wall.end()), median(sys), median(flt));
            }
            if (limit0_only) {
                continue;
            }
            std::printf("%-6s default / limit 0: cpu %.3f, wall %.3f\n", kind.c_str(),
                        cpu_median[1] / cpu_median[0], wall_median[1] / wall_median[0]);
        }
    } catch (const zel::Error& e) {
        std::fprintf(stderr, "%s\n", e.get_message().c_str());
        return 1;
    }
    return 0;
}
