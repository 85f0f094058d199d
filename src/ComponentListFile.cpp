// The component list's text file: one item per line, tags in angle brackets.
// It is the backup copy of a facility's list, so it is replaced atomically and
// only with a list that reads back as the same strings.

#include <locale.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <locale>
#include <optional>
#include <sstream>
#include <string>

#include "util/file.h"
#include "util/string.h"
#include "zel/Error.h"
#include "zel/sql/ComponentList.h"

namespace zel::sql {
namespace {

constexpr std::string_view flag_names_open = "<flag_names>";
constexpr std::string_view flag_names_close = "</flag_names>";
constexpr std::string_view components_open = "<components>";
constexpr std::string_view components_close = "</components>";
constexpr std::string_view component_open = "<component>";
constexpr std::string_view component_close = "</component>";

void writeln_double(std::ostream& stream, double val) {
    stream << std::scientific;
    stream.precision(15);
    stream << val << '\n';
}

// strtod in the "C" locale: the file's decimal point is "." whatever locale
// the calling program has chosen.
locale_t c_numeric_locale() {
    static const locale_t locale = ::newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
    return locale;
}

// The number at the start of `line`; nothing when the line does not begin
// with one or its value is out of range (too large, or subnormal).
std::optional<double> read_number(const std::string& line) {
    const char* begin = line.c_str();
    char* end = nullptr;
    errno = 0;
    const double value = ::strtod_l(begin, &end, c_numeric_locale());
    if (end == begin || errno == ERANGE) {
        return std::nullopt;
    }
    return value;
}

// --- refusing lists that would not read back ---------------------------------

bool has_line_feed(const std::string& text) {
    return text.find('\n') != std::string::npos;
}

// The text that writeln_double writes for `value`, without its line feed.
std::string number_line(double value) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    writeln_double(out, value);
    std::string line = std::move(out).str();
    line.pop_back();
    return line;
}

// Rounding to 16 significant digits takes the largest doubles past the range
// and the smallest normal ones into the subnormals, which the reader refuses.
// Only values within a rounding step of either end can be affected.
bool leaves_range_when_written(double value) {
    const double magnitude = std::fabs(value);
    const double largest = std::numeric_limits<double>::max();
    const double smallest_normal = std::numeric_limits<double>::min();
    const bool near_an_end =
        magnitude > largest / 2 || (magnitude > 0.0 && magnitude < 2 * smallest_normal);
    return near_an_end && std::isfinite(value) && !read_number(number_line(value));
}

// Why `list` cannot be written so that it reads back as the same strings, or
// an empty string when it can.
std::string why_not_representable(const ComponentList& list) {
    for (const std::string& flag : list.flag_names_) {
        if (flag.empty()) {
            return "empty flag name";
        }
        if (has_line_feed(flag)) {
            return util::cat("line feed in flag name \"", util::trim(flag), "\"");
        }
        if (util::trim_sv(flag) != flag) {
            return util::cat("white space around flag name \"", flag, "\"");
        }
        if (flag == flag_names_close) {
            return util::cat("flag name \"", flag, "\" is the closing tag");
        }
    }
    for (const Component& c : list.components_) {
        for (const std::string* text : {&c.name_, &c.real_name_, &c.name2_, &c.section_, &c.group_,
                                        &c.class_, &c.type_, &c.friendly_name_, &c.link_name_}) {
            if (has_line_feed(*text)) {
                return util::cat("line feed in a text of component \"", c.name_, "\"");
            }
        }
        if (util::trim_sv(c.link_name_) == component_close) {
            return util::cat("link name of component \"", c.name_, "\" reads as ", component_close);
        }
        for (const double coordinate : {c.x_, c.y_, c.z_, c.s_}) {
            if (leaves_range_when_written(coordinate)) {
                return util::cat("coordinate ", number_line(coordinate), " of component \"",
                                 c.name_, "\" is out of range at 16 significant digits");
            }
        }
    }
    return {};
}

// --- writing -----------------------------------------------------------------

std::string format_list(const ComponentList& list) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << flag_names_open << '\n';
    for (const std::string& flag : list.flag_names_) {
        out << flag << '\n';
    }
    out << flag_names_close << '\n' << components_open << '\n';
    for (const Component& c : list.components_) {
        out << component_open << '\n'
            << c.name_ << '\n'
            << c.real_name_ << '\n'
            << c.name2_ << '\n'
            << c.section_ << '\n'
            << c.group_ << '\n'
            << c.class_ << '\n'
            << c.type_ << '\n'
            << c.friendly_name_ << '\n';
        writeln_double(out, c.x_);
        writeln_double(out, c.y_);
        writeln_double(out, c.z_);
        writeln_double(out, c.s_);
        for (const bool flag : c.flags_) {
            out << (flag ? '1' : '0');
        }
        out << '\n' << c.link_name_ << '\n' << component_close << '\n';
    }
    out << components_close << '\n';
    return std::move(out).str();
}

// --- reading -----------------------------------------------------------------

double parse_double(const std::string& line) {
    const std::optional<double> value = read_number(line);
    if (!value) {
        throw Error("Floating point format error");
    }
    return *value;
}

std::vector<bool> parse_flags(const std::string& line) {
    std::vector<bool> flags;
    flags.reserve(line.size());
    for (const char c : line) {
        if (c == '0') {
            flags.push_back(false);
        } else if (c == '1') {
            flags.push_back(true);
        } else {
            throw Error("Flag format error");
        }
    }
    return flags;
}

}  // namespace

void ComponentList::write_to_file(const std::string& filename) const {
    const std::string reason = why_not_representable(*this);
    if (!reason.empty()) {
        throw Error(util::cat("Unable to write ", filename, ": ", reason));
    }
    util::AtomicFileWriter file(filename);
    if (!file.is_open()) {
        throw Error(util::cat("Unable to open ", filename, " for writing"));
    }
    file.write(format_list(*this));
    if (!file.commit()) {
        throw Error(util::cat("Error while writing to ", filename));
    }
}

void ComponentList::read_from_file(const std::string& filename) {
    clear();
    std::ifstream stream(filename);
    if (!stream.is_open()) {
        throw Error(util::cat("Unable to open ", filename, " for reading"));
    }
    std::string line;
    while (std::getline(stream, line)) {
        const std::string_view tag = util::trim_sv(line);
        if (tag.empty()) {
            continue;
        }
        if (tag == flag_names_open) {
            read_flag_names_from_stream(stream);
        } else if (tag == components_open) {
            read_components_from_stream(stream);
        } else {
            throw Error(util::cat("Unexpected line in ", filename, ": ", tag));
        }
    }
    // A read error ends getline just like the end of the file does; without
    // this check a file that cannot be read (a folder, a failing disk) would
    // pass for a short list.
    if (stream.bad()) {
        throw Error(util::cat("Error while reading ", filename));
    }
    for (const Component& component : components_) {
        if (component.flags_.size() != flag_names_.size()) {
            throw Error(util::cat(filename, " is inconsistent: Component ", component.name_,
                                  " has ", component.flags_.size(), " flags instead of ",
                                  flag_names_.size(), " as prescribed by the header"));
        }
    }
}

void ComponentList::read_flag_names_from_stream(std::istream& stream) {
    flag_names_.clear();
    std::string line;
    while (std::getline(stream, line)) {
        const std::string_view name = util::trim_sv(line);
        if (name.empty()) {
            continue;
        }
        if (name == flag_names_close) {
            return;
        }
        flag_names_.emplace_back(name);
    }
    flag_names_.clear();
    throw Error("Found no closing </flag_names> tag");
}

void ComponentList::read_components_from_stream(std::istream& stream) {
    components_.clear();
    std::string line;
    // Line buffers shared by all blocks keep their capacity: reading a line
    // then allocates nothing, and each text is copied out once at its size.
    std::string fields[14];
    std::string closing_tag;
    while (std::getline(stream, line)) {
        const std::string_view tag = util::trim_sv(line);
        if (tag == components_close) {
            return;
        }
        if (tag != component_open) {
            continue;  // blank lines and free text between component blocks
        }

        // Name, seven texts, four numbers, flags and link name: fourteen lines
        // taken as they stand. Once the stream has failed, getline leaves a
        // buffer as it was; the fail() test below catches every such case
        // before a buffer is used.
        for (std::string& field : fields) {
            std::getline(stream, field);
        }
        if (util::trim_sv(fields[13]) == component_close) {
            closing_tag.swap(fields[13]);  // a block without its link-name line
            fields[13].clear();
        } else {
            std::getline(stream, closing_tag);
        }
        if (stream.fail() || util::trim_sv(closing_tag) != component_close) {
            throw Error("Cannot parse component list");
        }

        Component component;
        component.name_ = fields[0];
        component.real_name_ = fields[1];
        component.name2_ = fields[2];
        component.section_ = fields[3];
        component.group_ = fields[4];
        component.class_ = fields[5];
        component.type_ = fields[6];
        component.friendly_name_ = fields[7];
        component.x_ = parse_double(fields[8]);
        component.y_ = parse_double(fields[9]);
        component.z_ = parse_double(fields[10]);
        component.s_ = parse_double(fields[11]);
        component.flags_ = parse_flags(fields[12]);
        component.link_name_ = fields[13];
        components_.push_back(std::move(component));
    }
    components_.clear();
    throw Error("Found no closing </components> tag");
}

}  // namespace zel::sql
