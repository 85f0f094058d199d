#include "backup_fault.h"

#include "regular_file.h"

#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <vector>

namespace zel_sql_tool {
namespace {

constexpr std::size_t max_scanned_size = std::size_t{256} << 20;

std::string trimmed(const std::string& line) {
    const char* const blanks = " \t\n\v\f\r";
    const auto first = line.find_first_not_of(blanks);
    if (first == std::string::npos) {
        return std::string();
    }
    return line.substr(first, line.find_last_not_of(blanks) - first + 1);
}

// A number line as the reader takes it: strtod in the "C" locale, some prefix
// a number, not beyond the doubles, not so small that only a subnormal holds it.
bool reads_as_number(const std::string& line) {
    const locale_t c_locale = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(nullptr));
    const locale_t previous = uselocale(c_locale);
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(line.c_str(), &end);
    const bool range_error = errno == ERANGE;
    uselocale(previous);
    freelocale(c_locale);
    if (end == line.c_str()) {
        return false;
    }
    return !(range_error && (std::isinf(value) || value == 0.0 || !std::isnormal(value)));
}

bool is_flags_line(const std::string& line) {
    return line.find_first_not_of("01") == std::string::npos;
}

}  // namespace

std::optional<FaultLine> locate_backup_fault(const std::string& file) {
    // Read as the library read it: never a FIFO or a device, never without
    // bound. The library has refused anything larger already.
    std::istringstream in;
    try {
        in.str(read_regular_file(file, max_scanned_size));
    } catch (const FileRefused&) {
        return std::nullopt;
    }
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    const auto at = [&](std::size_t index) {
        return FaultLine{index + 1, index < lines.size() ? lines[index] : std::string()};
    };

    std::size_t i = 0;
    while (i < lines.size()) {
        const std::string tag = trimmed(lines[i]);
        if (tag.empty()) {
            ++i;
        } else if (tag == "<flag_names>") {
            while (++i < lines.size() && trimmed(lines[i]) != "</flag_names>") {
            }
            if (i == lines.size()) {
                return at(i - 1);  // no closing tag before the end
            }
            ++i;
        } else if (tag == "<components>") {
            for (++i;; ++i) {
                if (i >= lines.size()) {
                    return at(lines.size() - 1);
                }
                const std::string inner = trimmed(lines[i]);
                if (inner == "</components>") {
                    break;
                }
                if (inner != "<component>") {
                    continue;
                }
                // 14 lines after the tag, the closing tag or the link name.
                const std::size_t first = i + 1;
                std::size_t close = first + 13;
                if (close < lines.size() && trimmed(lines[close]) != "</component>") {
                    ++close;
                }
                if (close >= lines.size() || trimmed(lines[close]) != "</component>") {
                    return at(std::min(close, lines.size() - 1));
                }
                for (std::size_t n = first + 8; n < first + 12; ++n) {
                    if (!reads_as_number(lines[n])) {
                        return at(n);
                    }
                }
                if (!is_flags_line(lines[first + 12])) {
                    return at(first + 12);
                }
                i = close;
            }
            ++i;
        } else {
            return at(i);  // "Unexpected line"
        }
    }
    return std::nullopt;
}

}  // namespace zel_sql_tool
