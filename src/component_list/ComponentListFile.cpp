// The component list's text file: one item per line, tags in angle brackets.
// It is the backup copy of a facility's list, so it is replaced atomically and
// only with a list that reads back as the same strings.

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "component_list/file_format_error.h"
#include "util/error_text.h"
#include "util/file.h"
#include "util/line_reader.h"
#include "util/number.h"
#include "util/string.h"
#include "util/trusted_file.h"
#include "zel/Error.h"
#include "zel/sql/ComponentList.h"
#include "zel/sql/component_view.h"

namespace zel::sql {
namespace {

constexpr std::string_view flag_names_open = "<flag_names>";
constexpr std::string_view flag_names_close = "</flag_names>";
constexpr std::string_view components_open = "<components>";
constexpr std::string_view components_close = "</components>";
constexpr std::string_view component_open = "<component>";
constexpr std::string_view component_close = "</component>";

// The most flags a file may hold, and the longest line: far beyond any real
// facility, and small enough that no file can make the reader exhaust memory.
constexpr std::size_t max_flags = 65536;
constexpr std::size_t max_line_length = util::LineReader::max_line_length;

// The number line of `val`: scientific notation with 15 decimals, formatted
// in place in the writer's buffer.
void writeln_double(util::AtomicFileWriter& file, double val) {
    char* const line = file.reserve(util::scientific_max_length + 1);
    char* const end = util::format_scientific(line, val);
    *end = '\n';
    file.advance(static_cast<std::size_t>(end - line) + 1);
}

void writeln(util::AtomicFileWriter& file, std::string_view text) {
    file.write(text);
    file.put('\n');
}

// --- refusing lists that would not read back ---------------------------------

bool has_line_feed(const std::string& text) {
    return std::memchr(text.data(), '\n', text.size()) != nullptr;
}

// The text that writeln_double writes for `value`, without its line feed.
std::string number_line(double value) {
    char line[util::scientific_max_length];
    return std::string(line, util::format_scientific(line, value));
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
    return near_an_end && std::isfinite(value) && !util::read_number(number_line(value));
}

// Why `list` cannot be written so that it reads back as the same strings, or
// an empty string when it can.
std::string why_not_representable(const ComponentList& list) {
    if (list.flag_names_.size() > max_flags) {
        return util::cat("more than ", max_flags, " flags");
    }
    for (const std::string& flag : list.flag_names_) {
        if (flag.empty()) {
            return "empty flag name";
        }
        if (flag.size() > max_line_length) {
            return util::cat("flag name longer than ", max_line_length, " bytes");
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
        for (const ComponentTextField& field : component_text_fields) {
            if (has_line_feed(c.*field.member)) {
                return util::cat("line feed in a text of component \"", c.name_, "\"");
            }
            if ((c.*field.member).size() > max_line_length) {
                return util::cat("a text of component \"", util::excerpt_for_message(c.name_),
                                 "\" is longer than ", max_line_length, " bytes");
            }
        }
        if (util::trim_sv(c.link_name_) == component_close) {
            return util::cat("link name of component \"", c.name_, "\" reads as ", component_close);
        }
        for (const ComponentCoordinateField& field : component_coordinate_fields) {
            const double coordinate = c.*field.member;
            if (leaves_range_when_written(coordinate)) {
                return util::cat("coordinate ", number_line(coordinate), " of component \"",
                                 c.name_, "\" is out of range at 16 significant digits");
            }
        }
    }
    return {};
}

// --- writing -----------------------------------------------------------------

void write_list(const ComponentList& list, util::AtomicFileWriter& file) {
    writeln(file, flag_names_open);
    for (const std::string& flag : list.flag_names_) {
        writeln(file, flag);
    }
    writeln(file, flag_names_close);
    writeln(file, components_open);
    for (const Component& c : list.components_) {
        writeln(file, component_open);
        for (std::size_t i = 0; i < component_leading_text_fields; ++i) {
            writeln(file, c.*component_text_fields[i].member);
        }
        for (const ComponentCoordinateField& field : component_coordinate_fields) {
            writeln_double(file, c.*field.member);
        }
        for (const bool flag : c.flags_) {
            file.put(flag ? '1' : '0');
        }
        file.put('\n');
        writeln(file, c.*component_link_name_field.member);
        writeln(file, component_close);
    }
    writeln(file, components_close);
}

// --- reading -----------------------------------------------------------------

// Every failure of the file's bytes to be a component list is thrown as a
// FileFormatError with the line at fault: the one that `lines` gave last, or,
// for a line too long to be handed out, the one after it.

[[noreturn]] void fail_at(const util::LineReader& lines, const std::string& message) {
    throw detail::FileFormatError(message, lines.line_number());
}

bool next_line(util::LineReader& lines, std::string_view& line) {
    try {
        return lines.next(line);
    } catch (const Error& too_long) {
        throw detail::FileFormatError(too_long.get_message(), lines.line_number() + 1);
    }
}

// Appends the flags of a flags line to `flags`; false when the line holds
// anything but '0' and '1'.
bool parse_flags(std::string_view line, std::vector<bool>& flags) {
    flags.reserve(line.size());
    for (const char c : line) {
        if (c != '0' && c != '1') {
            return false;
        }
        flags.push_back(c == '1');
    }
    return true;
}

// The lines of a component block after its opening tag, up to and including
// its closing tag. Each line is stored as it arrives, since the reader's view
// of it lasts only until the next line; a number or flags line that does not
// convert is reported only once the block has turned out complete, because a
// block that is cut short or not closed is reported first.
Component read_component_block(util::LineReader& lines) {
    const auto next_in_block = [&lines]() {
        std::string_view line;
        if (!next_line(lines, line)) {
            fail_at(lines, "Cannot parse component list");
        }
        return line;
    };

    Component c;
    for (std::size_t i = 0; i < component_leading_text_fields; ++i) {
        (c.*component_text_fields[i].member).assign(next_in_block());
    }
    std::size_t first_bad_number = 0;  // its line number; 0 while every number converted
    for (const ComponentCoordinateField& field : component_coordinate_fields) {
        const std::optional<util::NumberPrefix> number = util::read_number(next_in_block());
        if (number) {
            c.*field.member = number->value;
        } else if (first_bad_number == 0) {
            first_bad_number = lines.line_number();
        }
    }
    const std::string_view flags_line = next_in_block();
    if (flags_line.size() > max_flags) {
        fail_at(lines, util::cat("More than ", max_flags, " flags in a component"));
    }
    const std::size_t flags_line_number = lines.line_number();
    const bool flags_converted = parse_flags(flags_line, c.flags_);

    // The link name, unless the block was written without it.
    const std::string_view link_or_closing_tag = next_in_block();
    if (util::trim_sv(link_or_closing_tag) != component_close) {
        (c.*component_link_name_field.member).assign(link_or_closing_tag);
        if (util::trim_sv(next_in_block()) != component_close) {
            fail_at(lines, "Cannot parse component list");
        }
    }
    if (first_bad_number != 0) {
        throw detail::FileFormatError("Floating point format error", first_bad_number);
    }
    if (!flags_converted) {
        throw detail::FileFormatError("Flag format error", flags_line_number);
    }
    return c;
}

}  // namespace

void ComponentList::write_to_file(const std::string& filename) const {
    util::check_no_nul(filename, "Invalid file name");
    const std::string reason = why_not_representable(*this);
    if (!reason.empty()) {
        throw Error(util::cat("Unable to write ", filename, ": ", reason));
    }
    util::AtomicFileWriter file(filename);
    if (!file.is_open()) {
        throw Error(util::cat("Unable to open ", filename, " for writing: ", file.error_text()));
    }
    write_list(*this, file);
    if (!file.commit()) {
        throw Error(util::cat("Error while writing to ", filename, ": ", file.error_text()));
    }
}

void ComponentList::read_from_file(const std::string& filename) {
    read_from_file_under(filename, util::Trust::caller_named);
}

void ComponentList::read_from_backup_file(const std::string& filename) {
    read_from_file_under(filename, util::Trust::owner_checked);
}

void ComponentList::read_from_file_under(const std::string& filename, util::Trust trust) {
    clear();
    util::check_no_nul(filename, "Invalid file name");
    try {
        read_lines_of(filename, trust);
    } catch (const std::bad_alloc&) {
        clear();  // what was read so far would only keep the memory short
        throw Error(util::cat("Out of memory while reading ", filename));
    }
}

void ComponentList::read_lines_of(const std::string& filename, util::Trust trust) {
    util::ReadableFile file(filename, trust);
    if (!file.is_open()) {
        if (file.refusal().empty()) {
            // A file that is not there (no such name, or a file where a
            // folder should be) says enough; any other failure (no
            // permission, too many open files, a link loop) names its reason.
            if (file.error_number() == ENOENT || file.error_number() == ENOTDIR) {
                throw Error(util::cat("Unable to open ", filename, " for reading"));
            }
            throw Error(util::cat("Unable to open ", filename,
                                  " for reading: ", util::error_text(file.error_number())));
        }
        if (trust == util::Trust::caller_named) {
            throw Error(util::cat("Unable to open ", filename, " for reading: ", file.refusal()));
        }
        throw Error(util::cat("Unable to use ", filename, ": ", file.refusal()));
    }
    const std::size_t size = file.size();
    util::LineReader lines(file.release(), size, filename);
    // Until one of its tags has come, the file may be anything at all (a
    // link to another user's secrets, say): a message then names the line by
    // its number only and never quotes what it holds.
    bool own_format = false;
    std::string_view line;
    while (next_line(lines, line)) {
        const std::string_view tag = util::trim_sv(line);
        if (tag.empty()) {
            continue;
        }
        if (tag == flag_names_open) {
            own_format = true;
            read_flag_names_from_stream(lines);
        } else if (tag == components_open) {
            own_format = true;
            read_components_from_stream(lines);
        } else if (own_format) {
            fail_at(lines, util::cat("Unexpected line in ", filename, ": ",
                                     util::excerpt_for_message(tag)));
        } else {
            fail_at(lines, util::cat("Unexpected line ", lines.line_number(), " in ", filename));
        }
    }
    // A read error ends the lines just like the end of the file does; without
    // this check a file that cannot be read (a folder, a failing disk) would
    // pass for a short list.
    if (lines.failed()) {
        throw Error(util::cat("Error while reading ", filename));
    }
    for (const Component& component : components_) {
        if (component.flags_.size() != flag_names_.size()) {
            throw detail::FileFormatError(
                util::cat(filename, " is inconsistent: Component ",
                          util::excerpt_for_message(component.name_), " has ",
                          component.flags_.size(), " flags instead of ", flag_names_.size(),
                          " as prescribed by the header"),
                0);  // found only after the whole file
        }
    }
    rebuild_name_index();
}

void ComponentList::read_flag_names_from_stream(util::LineReader& lines) {
    flag_names_.clear();
    std::string_view line;
    while (next_line(lines, line)) {
        const std::string_view name = util::trim_sv(line);
        if (name.empty()) {
            continue;
        }
        if (name == flag_names_close) {
            return;
        }
        if (flag_names_.size() == max_flags) {
            flag_names_.clear();
            fail_at(lines, util::cat("More than ", max_flags, " flag names"));
        }
        flag_names_.emplace_back(name);
    }
    flag_names_.clear();
    fail_at(lines, "Found no closing </flag_names> tag");
}

void ComponentList::read_components_from_stream(util::LineReader& lines) {
    components_.clear();
    // Grown by doubling, the vector would move every component several times
    // and touch twice the memory. Once the first blocks show how large a
    // block is, room is reserved for what the rest of the file holds at that
    // size, but never for more than blocks of the smallest size could fill.
    constexpr std::size_t sample_blocks = 64;
    constexpr std::size_t smallest_block = 42;  // empty texts, one-digit numbers, no flags
    const std::size_t bytes_at_start = lines.bytes_left();
    std::string_view line;
    while (next_line(lines, line)) {
        const std::string_view tag = util::trim_sv(line);
        if (tag == components_close) {
            return;
        }
        if (tag == component_open) {
            components_.push_back(read_component_block(lines));
            if (components_.size() == sample_blocks) {
                const std::size_t left = lines.bytes_left();
                const std::size_t block =
                    std::max((bytes_at_start - std::min(left, bytes_at_start)) / sample_blocks,
                             smallest_block);
                const std::size_t expected = left / block;
                components_.reserve(sample_blocks +
                                    std::min(expected + expected / 8, left / smallest_block));
            }
        }
        // Blank lines and free text between component blocks are skipped.
    }
    components_.clear();
    fail_at(lines, "Found no closing </components> tag");
}

}  // namespace zel::sql
