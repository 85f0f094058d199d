// The backup file: the library's writer and reader against plain loops over
// the same file.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>

#include "benchmarks.h"
#include "component_fixture.h"
#include "zel/sql/ComponentList.h"

namespace zel::sql::bench {
namespace {

// A plain reader of the format: std::getline for every line, strtod for the
// numbers, storing the same flag names and components as read_from_file. It
// checks nothing beyond what it needs to find its way.
ComponentList bare_read(const std::string& filename) {
    ComponentList list;
    std::ifstream in(filename);
    std::string line;
    while (std::getline(in, line)) {
        if (line == "<flag_names>") {
            while (std::getline(in, line) && line != "</flag_names>") {
                list.flag_names_.push_back(line);
            }
        } else if (line == "<component>") {
            Component c;
            for (std::string* text : {&c.name_, &c.real_name_, &c.name2_, &c.section_, &c.group_,
                                      &c.class_, &c.type_, &c.friendly_name_}) {
                std::getline(in, line);
                *text = line;
            }
            for (double* number : {&c.x_, &c.y_, &c.z_, &c.s_}) {
                std::getline(in, line);
                *number = std::strtod(line.c_str(), nullptr);
            }
            std::getline(in, line);
            for (const char flag : line) {
                c.flags_.push_back(flag == '1');
            }
            std::getline(in, c.link_name_);
            std::getline(in, line);  // </component>
            list.components_.push_back(std::move(c));
        }
    }
    return list;
}

// A plain writer of the same bytes: fputs for the texts, fprintf("%.15e") for
// the numbers, and one fsync, without the temporary file and the rename.
void bare_write(const ComponentList& list, const std::string& filename) {
    std::FILE* const out = std::fopen(filename.c_str(), "w");
    if (out == nullptr) {
        return;
    }
    const auto line = [out](const std::string& text) {
        std::fputs(text.c_str(), out);
        std::fputc('\n', out);
    };
    std::fputs("<flag_names>\n", out);
    for (const std::string& flag : list.flag_names_) {
        line(flag);
    }
    std::fputs("</flag_names>\n<components>\n", out);
    for (const Component& c : list.components_) {
        std::fputs("<component>\n", out);
        for (const std::string* text : {&c.name_, &c.real_name_, &c.name2_, &c.section_, &c.group_,
                                        &c.class_, &c.type_, &c.friendly_name_}) {
            line(*text);
        }
        std::fprintf(out, "%.15e\n%.15e\n%.15e\n%.15e\n", c.x_, c.y_, c.z_, c.s_);
        for (const bool flag : c.flags_) {
            std::fputc(flag ? '1' : '0', out);
        }
        std::fputc('\n', out);
        line(c.link_name_);
        std::fputs("</component>\n", out);
    }
    std::fputs("</components>\n", out);
    std::fflush(out);
    ::fsync(::fileno(out));
    std::fclose(out);
}

// Both writers must write the same bytes, or their times say nothing.
bool same_content(const std::string& a, const std::string& b) {
    std::ifstream first(a, std::ios::binary);
    std::ifstream second(b, std::ios::binary);
    std::ostringstream first_bytes;
    std::ostringstream second_bytes;
    first_bytes << first.rdbuf();
    second_bytes << second.rdbuf();
    return first && second && first_bytes.str() == second_bytes.str();
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
            // Each iteration reads into a new list and frees the previous one,
            // as the plain reader does: no reader gets the memory of the last
            // round for free.
            ComponentList read;
            for (auto _ : state) {
                ComponentList fresh;
                fresh.read_from_file(library_file);
                read = std::move(fresh);
            }
            if (read != written) {
                state.SkipWithError("the file did not read back as the written list");
            }
        }));
    timed(benchmark::RegisterBenchmark(
        (prefix + "bare_write").c_str(), [list, bare_file, library_file](benchmark::State& state) {
            const ComponentList& written = list();
            for (auto _ : state) {
                bare_write(written, bare_file);
            }
            if (!same_content(bare_file, library_file)) {
                state.SkipWithError("the plain writer wrote other bytes");
            }
        }));
    timed(benchmark::RegisterBenchmark(
        (prefix + "bare_read").c_str(), [list, library_file](benchmark::State& state) {
            const ComponentList& written = list();
            ComponentList read;
            for (auto _ : state) {
                read = bare_read(library_file);
            }
            if (read != written) {
                state.SkipWithError("the plain reader read another list");
            }
        }));
}

}  // namespace

void register_file_benchmarks(const std::string& work_dir) {
    register_size(small_facility_size, work_dir);
    register_size(large_facility_size, work_dir);
}

}  // namespace zel::sql::bench
