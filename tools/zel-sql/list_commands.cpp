// zel-sql list show|verify|diff|export|draw: component lists from backup
// files and data sources.

#include <algorithm>
#include <cmath>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>

#include "commands.h"
#include "component_columns.h"
#include "component_list/file_format_error.h"
#include "connection.h"
#include "exit_status.h"
#include "json_output.h"
#include "layout_svg.h"
#include "list_diff.h"
#include "list_export.h"
#include "output_file.h"
#include "source.h"
#include "terminal_text.h"
#include "text_table.h"
#include "time_text.h"

namespace zel_sql_tool {
namespace {

using zel::sql::Component;

const char* const source_help =
    "A backup file, or DSN:FACILITY for the facility's view in an ODBC data source";

// The range of finite values of one coordinate, and how many are not finite.
struct Range {
    double min = INFINITY;
    double max = -INFINITY;
    std::size_t not_finite = 0;
    bool empty() const { return min > max; }
};

Range range_of(const zel::sql::ComponentList& list, double Component::*field) {
    Range range;
    for (const Component& c : list.components_) {
        const double value = c.*field;
        if (std::isfinite(value)) {
            range.min = std::min(range.min, value);
            range.max = std::max(range.max, value);
        } else {
            ++range.not_finite;
        }
    }
    return range;
}

Json range_json(const Range& range) {
    Json out;
    out["min"] = range.empty() ? Json(nullptr) : Json(range.min);
    out["max"] = range.empty() ? Json(nullptr) : Json(range.max);
    out["not_finite"] = range.not_finite;
    return out;
}

std::string range_text(const Range& range) {
    std::ostringstream text;
    if (range.empty()) {
        text << "none";
    } else {
        text << range.min << " .. " << range.max << " m";
    }
    if (range.not_finite > 0) {
        text << " (" << range.not_finite << " not finite)";
    }
    return text.str();
}

std::size_t flag_count(const zel::sql::ComponentList& list, std::size_t index) {
    return static_cast<std::size_t>(std::count_if(
        list.components_.begin(), list.components_.end(),
        [&](const Component& c) { return index < c.flags_.size() && c.flags_[index]; }));
}

void show(const std::string& source, const ConnectionOptions& login, bool json) {
    const LoadedList loaded = load_source(source, login);
    const auto& list = loaded.list;
    const Range s = range_of(list, &Component::s_);
    const Range z = range_of(list, &Component::z_);
    if (json) {
        Json out;
        out["source"] = loaded.label;
        out["facility"] = loaded.facility;
        out["components"] = list.components_.size();
        Json flags = Json::array();
        for (std::size_t i = 0; i < list.flag_names_.size(); ++i) {
            flags.push_back({{"name", list.flag_names_[i]}, {"count", flag_count(list, i)}});
        }
        out["flags"] = std::move(flags);
        out["s"] = range_json(s);
        out["z"] = range_json(z);
        if (loaded.file_modified) {
            out["modified_at"] = *loaded.file_modified;
            out["age_seconds"] = seconds_between(*loaded.file_modified, unix_now());
        }
        if (loaded.untrusted_reason) {
            out["trusted"] = loaded.untrusted_reason->empty();
            out["untrusted_reason"] = *loaded.untrusted_reason;
        }
        out["read_seconds"] = loaded.read_seconds;
        std::cout << json_text(out) << '\n';
        return;
    }
    std::cout << "source:      " << printable(loaded.label) << '\n'
              << "facility:    "
              << (loaded.facility.empty() ? "(unknown)" : printable(loaded.facility)) << '\n'
              << "components:  " << list.components_.size() << '\n'
              << "s range:     " << range_text(s) << '\n'
              << "z range:     " << range_text(z) << '\n';
    if (loaded.file_modified) {
        std::cout << "modified:    " << utc_time(*loaded.file_modified) << " ("
                  << age_text(seconds_between(*loaded.file_modified, unix_now())) << " ago)\n";
    }
    if (loaded.untrusted_reason) {
        std::cout << "trusted:     "
                  << (loaded.untrusted_reason->empty()
                          ? std::string("yes (the library would fall back on it)")
                          : "no, " + printable(*loaded.untrusted_reason) +
                                " (the library would not fall back on it)")
                  << '\n';
    }
    std::cout << "flags:       " << list.flag_names_.size() << '\n';
    TextTable flags({"  flag", "components"});
    for (std::size_t i = 0; i < list.flag_names_.size(); ++i) {
        flags.add_row({"  " + list.flag_names_[i], std::to_string(flag_count(list, i))});
    }
    if (!flags.empty()) {
        flags.print(std::cout);
    }
}

// A file the library read and found not to be a component list is a finding
// (1), with the line at fault when the fault has one; a file it could not read
// at all is the trouble of an input (2).
int verify(const std::string& file, bool json) {
    zel::sql::ComponentList list;
    std::string failure;
    std::size_t fault_line = 0;  // 1-based; 0 when the fault has no line
    try {
        list.read_from_file(file);
    } catch (const zel::sql::detail::FileFormatError& e) {
        failure = e.get_message();
        fault_line = e.line();
    } catch (const zel::Error& e) {
        throw CommandFailure(e.get_message(), exit_usage);
    }
    if (json) {
        Json out;
        out["file"] = file;
        out["ok"] = failure.empty();
        if (failure.empty()) {
            out["components"] = list.components_.size();
            out["flags"] = list.flag_names_.size();
        } else {
            out["error"] = failure;
            if (fault_line != 0) {
                out["line"] = fault_line;
            }
        }
        std::cout << json_text(out) << '\n';
    } else if (failure.empty()) {
        std::cout << printable(file) << ": readable, " << list.components_.size() << " components, "
                  << list.flag_names_.size() << " flags\n";
    } else {
        std::cout << printable(file) << ": not readable: " << printable(failure) << '\n';
        if (fault_line != 0) {
            std::cout << printable(file) << ":" << fault_line << ": the line at fault\n";
        }
    }
    return failure.empty() ? exit_ok : exit_problem;
}

int diff(const std::string& first_source, const std::string& second_source,
         const ConnectionOptions& login, bool json) {
    const LoadedList first = load_source(first_source, login);
    const LoadedList second = load_source(second_source, login);
    const ListDiff d = diff_lists(first.list, second.list);
    if (json) {
        Json out;
        out["first"] = first.label;
        out["second"] = second.label;
        out["equal"] = d.empty();
        out["flags_added"] = d.flags_added;
        out["flags_removed"] = d.flags_removed;
        out["added"] = d.added;
        out["removed"] = d.removed;
        Json changed = Json::array();
        for (const FieldChange& c : d.changed) {
            changed.push_back({{"component", c.component},
                               {"field", c.field},
                               {"first", c.first},
                               {"second", c.second}});
        }
        out["changed"] = std::move(changed);
        std::cout << json_text(out) << '\n';
        return d.empty() ? exit_ok : exit_problem;
    }
    std::cout << "first:  " << printable(first.label) << " (" << first.list.components_.size()
              << " components)\n"
              << "second: " << printable(second.label) << " (" << second.list.components_.size()
              << " components)\n";
    if (d.empty()) {
        std::cout << "The lists are equal.\n";
        return exit_ok;
    }
    TextTable table({"change", "component", "field", "first", "second"});
    for (const std::string& name : d.flags_removed) {
        table.add_row({"flag removed", "", flag_column(name), "present", "absent"});
    }
    for (const std::string& name : d.flags_added) {
        table.add_row({"flag added", "", flag_column(name), "absent", "present"});
    }
    for (const std::string& name : d.removed) {
        table.add_row({"removed", name});
    }
    for (const std::string& name : d.added) {
        table.add_row({"added", name});
    }
    for (const FieldChange& c : d.changed) {
        table.add_row({"changed", c.component, c.field, cut(c.first, 40), cut(c.second, 40)});
    }
    std::cout << '\n';
    table.print(std::cout);
    std::cout << '\n'
              << d.added.size() << " added, " << d.removed.size() << " removed, "
              << d.changed.size() << " changed fields, " << d.flags_added.size() << " flags added, "
              << d.flags_removed.size() << " flags removed\n";
    return exit_problem;
}

void export_list(const std::string& source, const ConnectionOptions& login,
                 const std::string& format, const std::string& output, bool raw) {
    const LoadedList loaded = load_source(source, login);
    // Written in full to memory first: a failed export leaves no half file.
    std::ostringstream text;
    const ExportHeader header{loaded.facility, loaded.label, static_cast<std::time_t>(unix_now())};
    try {
        if (format == "csv") {
            write_csv(text, loaded.list, raw ? CsvTexts::raw : CsvTexts::guarded);
        } else if (format == "json") {
            write_json(text, loaded.list, header);
        } else {
            write_tfs(text, loaded.list, header);
        }
    } catch (const zel::Error& e) {
        // The list holds what the format cannot carry: a finding about the
        // list, not an input that could not be read.
        throw CommandFailure(e.get_message(), exit_problem);
    }
    if (output.empty() || output == "-") {
        std::cout << text.str();
        return;
    }
    write_output_file(output, text.str());
}

std::vector<std::string> split_commas(const std::string& text) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, ',')) {
        if (!part.empty()) {
            parts.push_back(part);
        }
    }
    return parts;
}

void draw(const std::string& source, const ConnectionOptions& login, const std::string& svg,
          const std::string& lines, bool json) {
    const LoadedList loaded = load_source(source, login);
    LayoutDrawing drawing;
    drawing.title = "Facility " + (loaded.facility.empty() ? loaded.label : loaded.facility) +
                    ": layout of its components, x against z";
    drawing.line_flags = split_commas(lines);
    for (const std::string& flag : drawing.line_flags) {
        if (loaded.list.get_flag_idx(flag) < 0) {
            throw UsageError("--lines names the flag \"" + flag + "\", which " + loaded.label +
                             " does not have");
        }
    }
    std::ostringstream picture;
    const LayoutCounts counts = write_layout_svg(picture, loaded.list, drawing);
    write_output_file(svg, picture.str());
    if (json) {
        Json out;
        out["svg"] = svg;
        out["drawn"] = counts.drawn;
        out["left_out"] = counts.left_out;
        std::cout << json_text(out) << '\n';
    } else {
        std::cout << "Layout drawn to " << printable(svg) << ": " << counts.drawn << " components, "
                  << counts.left_out << " without known x and z left out.\n";
    }
}

// The state that the callbacks of the list commands fill in; it lives as long
// as the program's App.
struct ListArguments {
    ConnectionOptions login;
    std::string source;
    std::string second_source;
    std::string file;
    std::string format;
    std::string output;
    std::string svg;
    std::string lines;
    bool raw = false;
    bool json = false;
};

}  // namespace

void add_list_commands(CLI::App& app, int& status) {
    auto args = std::make_shared<ListArguments>();
    CLI::App* list = app.add_subcommand("list", "Component lists: backup files and data sources");
    list->require_subcommand(1);

    CLI::App* show_command = list->add_subcommand(
        "show",
        "Facility, number of components, flags with their counts, s and z ranges and, "
        "for a file, its age");
    show_command->add_option("SOURCE", args->source, source_help)->required();
    show_command->add_flag("--json", args->json, "Print a JSON object");
    add_connection_options(*show_command, args->login);
    show_command->callback([args, &status] {
        show(args->source, args->login, args->json);
        status = exit_ok;
    });

    CLI::App* verify_command = list->add_subcommand(
        "verify",
        "Read a backup file as the library does; on failure print why and the line at fault "
        "(exit 1; exit 2 when the file cannot be read at all)");
    verify_command->add_option("FILE", args->file, "The backup file")->required();
    verify_command->add_flag("--json", args->json, "Print a JSON object");
    verify_command->callback([args, &status] { status = verify(args->file, args->json); });

    CLI::App* diff_command = list->add_subcommand(
        "diff",
        "Components added, removed and changed from the first SOURCE to the second; "
        "exit 0 when equal, 1 when they differ, 2 when one cannot be read (as diff(1)). "
        "Coordinates are compared at the 16 significant digits "
        "that a backup file keeps");
    diff_command->add_option("FIRST", args->source, source_help)->required();
    diff_command->add_option("SECOND", args->second_source, source_help)->required();
    diff_command->add_flag("--json", args->json, "Print a JSON object");
    add_connection_options(*diff_command, args->login);
    diff_command->callback([args, &status] {
        status = diff(args->source, args->second_source, args->login, args->json);
    });

    CLI::App* export_command =
        list->add_subcommand("export", "Write the list as CSV, JSON or a TFS table (MAD-X)");
    export_command->add_option("SOURCE", args->source, source_help)->required();
    export_command->add_option("--format,-f", args->format, "csv, json or tfs")
        ->required()
        ->check(CLI::IsMember({"csv", "json", "tfs"}));
    export_command->add_option("--output,-o", args->output, "Write to FILE instead of stdout");
    export_command->add_flag("--raw", args->raw,
                             "CSV: write texts as they are; without it, a text that begins with "
                             "=, +, -, @, a tab or a carriage return gets a leading ' so that a "
                             "spreadsheet does not run it as a formula");
    add_connection_options(*export_command, args->login);
    export_command->callback([args, &status] {
        export_list(args->source, args->login, args->format, args->output, args->raw);
        status = exit_ok;
    });

    CLI::App* draw_command =
        list->add_subcommand("draw", "Draw the floor layout (x against z) as an SVG picture");
    draw_command->add_option("SOURCE", args->source, source_help)->required();
    draw_command->add_option("--svg", args->svg, "The SVG file to write")->required();
    draw_command->add_option("--lines", args->lines,
                             "Flags that name beamlines, comma-separated, one colour each");
    draw_command->add_flag("--json", args->json, "Print a JSON object");
    add_connection_options(*draw_command, args->login);
    draw_command->callback([args, &status] {
        draw(args->source, args->login, args->svg, args->lines, args->json);
        status = exit_ok;
    });
}

}  // namespace zel_sql_tool
