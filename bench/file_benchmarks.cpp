// The backup file: the library's writer and reader against bare loops over
// the same file.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

#include "benchmarks.h"
#include "component_fixture.h"
#include "zel/sql/ComponentList.h"

namespace zel::sql::bench {
namespace {

// Lines of a component block: the tag, eight texts, then the four numbers.
constexpr int first_number_line = 9;
constexpr int last_number_line = 12;

// Reads every line and converts the four number lines of each block: the
// least that any reader of the format has to do.
double bare_read(const std::string& filename) {
    std::ifstream in(filename);
    std::string line;
    double sum = 0.0;
    int line_in_block = -1;
    while (std::getline(in, line)) {
        if (line == "<component>") {
            line_in_block = 0;
        }
        if (line_in_block >= first_number_line && line_in_block <= last_number_line) {
            sum += std::strtod(line.c_str(), nullptr);
        }
        if (line_in_block >= 0) {
            ++line_in_block;
        }
    }
    return sum;
}

// Writes the same bytes as write_to_file with the same stream formatting and
// makes them durable, without the temporary file and the rename.
void bare_write(const ComponentList& list, const std::string& filename) {
    {
        std::ofstream out(filename, std::ios::trunc);
        out << std::scientific;
        out.precision(15);
        out << "<flag_names>\n";
        for (const std::string& flag : list.flag_names_) {
            out << flag << '\n';
        }
        out << "</flag_names>\n<components>\n";
        for (const Component& c : list.components_) {
            out << "<component>\n"
                << c.name_ << '\n'
                << c.real_name_ << '\n'
                << c.name2_ << '\n'
                << c.section_ << '\n'
                << c.group_ << '\n'
                << c.class_ << '\n'
                << c.type_ << '\n'
                << c.friendly_name_ << '\n'
                << c.x_ << '\n'
                << c.y_ << '\n'
                << c.z_ << '\n'
                << c.s_ << '\n';
            for (const bool flag : c.flags_) {
                out << (flag ? '1' : '0');
            }
            out << '\n' << c.link_name_ << "\n</component>\n";
        }
        out << "</components>\n";
    }
    const int fd = ::open(filename.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

void register_size(std::size_t size, const std::string& work_dir) {
    const std::string prefix = "file/" + std::to_string(size) + "/";
    const std::string library_file = work_dir + "/list-" + std::to_string(size) + ".txt";
    const std::string bare_file = work_dir + "/bare-" + std::to_string(size) + ".txt";
    // The list, and the file that the readers read, made when first needed.
    const auto list = [size, library_file]() -> const ComponentList& {
        static std::map<std::size_t, bool> written;
        const ComponentList& shared = shared_component_list(size);
        if (!written[size]) {
            shared.write_to_file(library_file);
            written[size] = true;
        }
        return shared;
    };

    const auto timed = [](benchmark::internal::Benchmark* b) {
        b->Unit(benchmark::kMillisecond)->UseRealTime();
    };
    timed(benchmark::RegisterBenchmark((prefix + "write_to_file").c_str(),
                                       [list, library_file](benchmark::State& state) {
                                           const ComponentList& written = list();
                                           for (auto _ : state) {
                                               written.write_to_file(library_file);
                                           }
                                       }));
    timed(benchmark::RegisterBenchmark(
        (prefix + "read_from_file").c_str(), [list, library_file](benchmark::State& state) {
            const ComponentList& written = list();
            ComponentList read;
            for (auto _ : state) {
                read.read_from_file(library_file);
            }
            if (read != written) {
                state.SkipWithError("the file did not read back as the written list");
            }
        }));
    timed(benchmark::RegisterBenchmark((prefix + "bare_write").c_str(),
                                       [list, bare_file](benchmark::State& state) {
                                           const ComponentList& written = list();
                                           for (auto _ : state) {
                                               bare_write(written, bare_file);
                                           }
                                       }));
    timed(benchmark::RegisterBenchmark((prefix + "bare_read").c_str(),
                                       [list, library_file](benchmark::State& state) {
                                           list();
                                           for (auto _ : state) {
                                               benchmark::DoNotOptimize(bare_read(library_file));
                                           }
                                       }));
}

}  // namespace

void register_file_benchmarks(const std::string& work_dir) {
    register_size(small_facility_size, work_dir);
    register_size(large_facility_size, work_dir);
}

}  // namespace zel::sql::bench
