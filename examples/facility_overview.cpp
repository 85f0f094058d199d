// What a control program does with a facility's component list: load it, with
// the backup file as fallback, and ask it the usual questions. Prints the
// facility's beamlines (a table read through the query cache, so that it
// survives an outage too), a short summary, one beamline between two positions
// sorted along the beam, and the cells of components around the BPMs of that
// stretch.
//
//   facility_overview [options] DATA_SOURCE FACILITY
//
//   --sqlite          attach the database file as schema TAVIK first
//   --user NAME       user name for the data source (default: none)
//   --password WORD   password for the data source (default: none)
//   --beamline FLAG   the beamline to show (default RING)
//   --from S, --to S  the stretch of it, in meters along s (default 114 to 134)
//   --anchors REGEX   names of the cell anchors, whole name, case ignored
//                     (default .*BPM.*)
//   --half-width M    a cell reaches M meters before and after its anchor
//                     (default 2)
//   --svg FILE        also draw the facility's layout (x against z) to FILE,
//                     one colour per beamline, BPMs marked, the cells as bands
//   --lines FLAGS     the beamline flags for the drawing, comma-separated
//                     (default LINAC,TRANSFER,RING,DUMP)
//
// The query cache lives in the folder "db_cache_<DATA_SOURCE>" of the working
// directory: one folder per data source.
//
// Exit status: 0 when the list was loaded (from the database or the backup
// file), 1 when neither could be read, 2 for a usage error.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <zel/sql.h>

#include "layout_svg.h"
#include "sqlite_tavik.h"

namespace {

using zel::sql::Component;
using zel::sql::ComponentList;
using SortOrder = zel::sql::ComponentList::SortOrder;

struct Options {
    bool sqlite = false;
    std::string user;
    std::string password;
    std::string data_source;
    std::string facility;
    std::string beamline = "RING";
    double from = 114.0;
    double to = 134.0;
    std::string anchors = ".*BPM.*";
    double half_width = 2.0;
    std::string svg_file;
    std::vector<std::string> line_flags{"LINAC", "TRANSFER", "RING", "DUMP"};
};

std::vector<std::string> split_at_commas(const std::string& text) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, ',');) {
        if (!part.empty()) {
            parts.push_back(part);
        }
    }
    return parts;
}

// A refused login surfaces as "Unable to allocate SQL statement handle"; the
// Database keeps what the driver said about it.
void print_refused_login(const zel::sql::Database& db) {
    std::string reason = db.get_last_connect_error();
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == ' ')) {
        reason.pop_back();
    }
    if (!reason.empty()) {
        std::cout << "  The login was refused: " << reason << '\n';
    }
}

bool parse_number(const char* text, double& value) {
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0';
}

bool parse_options(int argc, char** argv, Options& options) {
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--sqlite") {
            options.sqlite = true;
        } else if (arg == "--user" && has_value) {
            options.user = argv[++i];
        } else if (arg == "--password" && has_value) {
            options.password = argv[++i];
        } else if (arg == "--beamline" && has_value) {
            options.beamline = argv[++i];
        } else if (arg == "--from" && has_value) {
            if (!parse_number(argv[++i], options.from)) {
                return false;
            }
        } else if (arg == "--to" && has_value) {
            if (!parse_number(argv[++i], options.to)) {
                return false;
            }
        } else if (arg == "--anchors" && has_value) {
            options.anchors = argv[++i];
        } else if (arg == "--half-width" && has_value) {
            if (!parse_number(argv[++i], options.half_width) || !(options.half_width >= 0.0)) {
                return false;
            }
        } else if (arg == "--svg" && has_value) {
            options.svg_file = argv[++i];
        } else if (arg == "--lines" && has_value) {
            options.line_flags = split_at_commas(argv[++i]);
        } else if (arg.rfind("--", 0) == 0) {
            return false;
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() != 2) {
        return false;
    }
    options.data_source = positional[0];
    options.facility = positional[1];
    return true;
}

std::string fixed(double value, int decimals, bool with_sign = false) {
    std::ostringstream out;
    out << std::fixed << std::setprecision(decimals);
    if (with_sign) {
        out << std::showpos;
    }
    out << value;
    return out.str();
}

// A table printed with every column as wide as its widest cell.
class TextTable {
public:
    enum class Align { left, right };

    void add_column(std::string header, Align align) {
        headers_.push_back(std::move(header));
        aligns_.push_back(align);
    }

    void add_row(std::vector<std::string> cells) { rows_.push_back(std::move(cells)); }

    void print(std::ostream& out) const {
        std::vector<std::size_t> widths(headers_.size());
        for (std::size_t c = 0; c < headers_.size(); ++c) {
            widths[c] = headers_[c].size();
            for (const auto& row : rows_) {
                widths[c] = std::max(widths[c], row[c].size());
            }
        }
        print_row(out, headers_, widths);
        for (const auto& row : rows_) {
            print_row(out, row, widths);
        }
    }

private:
    void print_row(std::ostream& out, const std::vector<std::string>& cells,
                   const std::vector<std::size_t>& widths) const {
        for (std::size_t c = 0; c < cells.size(); ++c) {
            const bool last = c + 1 == cells.size();
            out << "  ";
            if (aligns_[c] == Align::left) {
                out << std::left;
            } else {
                out << std::right;
            }
            // The last column is not padded, so no line ends in blanks.
            out << std::setw(last && aligns_[c] == Align::left ? 0 : static_cast<int>(widths[c]))
                << cells[c];
        }
        out << '\n';
    }

    std::vector<std::string> headers_;
    std::vector<Align> aligns_;
    std::vector<std::vector<std::string>> rows_;
};

std::string utc_time(std::int64_t unix_seconds) {
    const auto time = static_cast<std::time_t>(unix_seconds);
    std::tm parts{};
    char text[32] = "?";
    if (gmtime_r(&time, &parts) != nullptr) {
        std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S UTC", &parts);
    }
    return text;
}

// The facility's beamlines, read through the query cache: from the database
// when it answers (and stored), else from the last copy, saying why.
void print_beamlines(zel::sql::Database& db, const std::string& canonical) {
    const std::string sql = "SELECT FLAG, NAME, ENERGY_GEV, LENGTH_M FROM TAVIK." + canonical +
                            "_BEAMLINES ORDER BY SEQ";
    zel::sql::QueryResult beamlines;
    try {
        beamlines = db.read_with_cache(sql);
    } catch (const zel::Error& e) {
        std::cout << "The beamlines of " << canonical << " are unknown:\n  " << e.what() << "\n\n";
        return;
    }
    if (beamlines.from_cache) {
        std::cout << "Beamlines of " << canonical << ", from the cache copy read at "
                  << utc_time(beamlines.stored_at)
                  << ", because the database could not be read:\n  " << beamlines.message << '\n';
    } else if (!beamlines.message.empty()) {
        std::cout << "Beamlines of " << canonical
                  << ", read from the database, but not stored in the cache:\n  "
                  << beamlines.message << '\n';
    } else {
        std::cout << "Beamlines of " << canonical << ", read from the database and stored in "
                  << db.get_cache().get_folder() << ":\n";
    }
    TextTable table;
    for (const std::string& name : beamlines.column_names) {
        table.add_column(name, TextTable::Align::left);
    }
    for (const auto& row : beamlines.rows) {
        std::vector<std::string> cells;
        for (const auto& value : row) {
            cells.push_back(value ? *value : "NULL");
        }
        table.add_row(std::move(cells));
    }
    table.print(std::cout);
    std::cout << '\n';
}

void print_summary(const ComponentList& list) {
    std::cout << "Summary: " << list.components_.size() << " components, "
              << list.flag_names_.size() << " flags\n";
    TextTable table;
    table.add_column("flag", TextTable::Align::left);
    table.add_column("components", TextTable::Align::right);
    table.add_column("first s [m]", TextTable::Align::right);
    table.add_column("last s [m]", TextTable::Align::right);
    for (const std::string& flag : list.flag_names_) {
        const auto members = list.find_components_with_flag(flag, SortOrder::s);
        if (members.empty()) {
            table.add_row({flag, "0", "-", "-"});
        } else {
            table.add_row({flag, std::to_string(members.size()), fixed(members.front()->s_, 3),
                           fixed(members.back()->s_, 3)});
        }
    }
    table.print(std::cout);
}

void print_beamline(const Options& options, const std::vector<const Component*>& beamline) {
    std::cout << "Beamline " << options.beamline << ", " << fixed(options.from, 3)
              << " m <= s <= " << fixed(options.to, 3) << " m, sorted by s: " << beamline.size()
              << " components\n";
    TextTable table;
    table.add_column("name", TextTable::Align::left);
    table.add_column("type", TextTable::Align::left);
    table.add_column("section", TextTable::Align::left);
    table.add_column("s [m]", TextTable::Align::right);
    table.add_column("z [m]", TextTable::Align::right);
    table.add_column("x [m]", TextTable::Align::right);
    table.add_column("power supply", TextTable::Align::left);
    for (const Component* c : beamline) {
        table.add_row({c->name_, c->type_, c->section_, fixed(c->s_, 3), fixed(c->z_, 3),
                       fixed(c->x_, 3), c->link_name_.empty() ? "-" : c->link_name_});
    }
    table.print(std::cout);
}

using Cells = std::vector<std::vector<const Component*>>;

void print_cells(const Options& options, const std::vector<const Component*>& beamline,
                 const Cells& cells) {
    std::cout << "Cells around the components named \"" << options.anchors << "\" on that stretch, "
              << "from s - " << fixed(options.half_width, 1) << " m to s + "
              << fixed(options.half_width, 1) << " m: " << cells.size() << " cells\n";

    // The cells come without their anchors. The anchors are the members whose
    // names match, in the same order along s: the selection is sorted by s.
    const std::regex anchor_pattern(options.anchors, std::regex::icase);
    std::vector<const Component*> anchors;
    for (const Component* c : beamline) {
        if (std::regex_match(c->name_, anchor_pattern)) {
            anchors.push_back(c);
        }
    }

    TextTable table;
    table.add_column("anchor", TextTable::Align::left);
    table.add_column("s [m]", TextTable::Align::right);
    table.add_column("members (distance from the anchor along s, in m)", TextTable::Align::left);
    for (std::size_t i = 0; i < cells.size() && i < anchors.size(); ++i) {
        std::string members;
        for (const Component* c : cells[i]) {
            if (!members.empty()) {
                members += "  ";
            }
            members += c->name_ + " " + fixed(c->s_ - anchors[i]->s_, 2, true);
        }
        table.add_row({anchors[i]->name_, fixed(anchors[i]->s_, 3), members});
    }
    table.print(std::cout);
}

bool draw_layout(const Options& options, const std::string& facility,
                 const ComponentList& components, const Cells& cells) {
    zel_sql_tool::LayoutDrawing drawing;
    drawing.title = "Facility " + facility + ": layout of its components, x against z";
    drawing.line_flags = options.line_flags;
    drawing.cells = cells;
    std::ofstream file(options.svg_file);
    const zel_sql_tool::LayoutCounts counts =
        zel_sql_tool::write_layout_svg(file, components, drawing);
    file.close();
    if (!file) {
        std::cerr << "Unable to write the layout to " << options.svg_file << '\n';
        return false;
    }
    std::cout << "\nLayout drawn to " << options.svg_file << ": " << counts.drawn << " components, "
              << counts.left_out << " without known x and z left out, " << cells.size()
              << " cells as bands.\n";
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse_options(argc, argv, options)) {
        std::cerr << "usage: facility_overview [--sqlite] [--user NAME] [--password WORD]\n"
                     "           [--beamline FLAG] [--from S] [--to S] [--anchors REGEX]\n"
                     "           [--half-width M] [--svg FILE] [--lines FLAGS]\n"
                     "           DATA_SOURCE FACILITY\n";
        return 2;
    }

    const std::string canonical = zel::sql::standardize_facility_name(options.facility);
    const std::string backup_file = "db_component_list_" + canonical + ".txt";
    std::cout << "Facility \"" << options.facility << "\" is " << canonical
              << "; its components are in TAVIK." << canonical << "_VIEW_COMPONENTS.\n\n";

    // One Database per data source; it connects at the first statement and
    // must outlive every Query and Procedure made from it.
    zel::sql::Database db(options.data_source, options.user, options.password);
    db.get_cache().set_folder("db_cache_" + options.data_source);
    if (options.sqlite) {
        try {
            examples::attach_main_file_as_tavik(db);
        } catch (const zel::Error& e) {
            // Not fatal: the load below falls back to the backup file.
            std::cout << "The database cannot be prepared: " << e.what() << "\n\n";
        }
    }

    ComponentList list;
    try {
        const std::string message = list.read_from_db_with_backup(db, options.facility);
        if (message.empty()) {
            std::cout << "Loaded from data source " << options.data_source
                      << "; backup copy written to " << backup_file << ".\n\n";
        } else if (message.find(backup_file) != std::string::npos) {
            // The messages of a failed write name the file; the list itself
            // came from the database.
            std::cout << "Loaded from data source " << options.data_source
                      << ", but the backup copy could not be written:\n  " << message << "\n\n";
        } else {
            std::cout << "The database could not be read:\n  " << message << '\n';
            print_refused_login(db);
            std::cout << "Loaded from the backup file " << backup_file << " instead.\n\n";
        }
    } catch (const zel::Error& e) {
        // The message joins the database's and the backup file's reasons.
        std::cout << "Neither the database nor the backup file could be read:\n  " << e.what()
                  << '\n';
        print_refused_login(db);
        return 1;
    }

    print_beamlines(db, canonical);

    // From here on the list is plain memory: the queries below return
    // pointers into it, valid until it is reloaded, cleared or destroyed.
    const ComponentList& components = list;
    print_summary(components);
    std::cout << '\n';

    try {
        const auto beamline =
            components.extract_beamline(options.beamline, options.from, options.to, SortOrder::s);
        print_beamline(options, beamline);
        std::cout << '\n';
        // Every anchor gets its own cell; cells of close anchors overlap.
        const Cells cells = ComponentList::extract_cells_around_components(
            beamline, options.anchors, SortOrder::s, -options.half_width, options.half_width);
        print_cells(options, beamline, cells);
        if (!options.svg_file.empty()) {
            return draw_layout(options, canonical, components, cells) ? 0 : 1;
        }
    } catch (const std::regex_error& e) {
        std::cerr << "Invalid --anchors pattern \"" << options.anchors << "\": " << e.what()
                  << '\n';
        return 2;
    }
    return 0;
}
