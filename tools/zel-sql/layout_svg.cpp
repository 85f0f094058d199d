#include "layout_svg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <sstream>
#include <string_view>

namespace zel_sql_tool {
namespace {

using zel::sql::Component;
using zel::sql::ComponentList;

constexpr double plot_width = 1200.0;  // pixels for the z range
constexpr double min_plot_height = 160.0;
constexpr double max_plot_height = 8 * plot_width;
constexpr double margin = 40.0;
constexpr double legend_height = 24.0;

const char* const palette[] = {"#1f77b4", "#d62728", "#2ca02c", "#ff7f0e",
                               "#9467bd", "#8c564b", "#e377c2", "#17becf"};
const char* const no_line_colour = "#888888";

// The length of the UTF-8 sequence that `text` begins with and its code
// point, or 0 when it does not begin with a well-formed one (overlong forms,
// surrogates and values past U+10FFFF included).
std::size_t utf8_sequence(std::string_view text, char32_t& code_point) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        code_point = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, minimum = 0x80, code_point = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, minimum = 0x800, code_point = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, minimum = 0x10000, code_point = lead & 0x07;
    } else {
        return 0;
    }
    if (text.size() < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
        code_point = (code_point << 6) | (byte(i) & 0x3F);
    }
    const bool surrogate = code_point >= 0xD800 && code_point <= 0xDFFF;
    return code_point < minimum || surrogate || code_point > 0x10FFFF ? 0 : length;
}

// The characters that may stand in an SVG text. XML 1.0 forbids the C0
// controls but tab, LF and CR, and U+FFFE and U+FFFF; the C1 controls it
// allows, but a tooltip has no use for them either.
bool shown_as_is(char32_t c) {
    if (c < 0x20) {
        return c == '\t' || c == '\n' || c == '\r';
    }
    return !(c >= 0x7F && c <= 0x9F) && c != 0xFFFE && c != 0xFFFF;
}

// Names come from the database or a file: anything may be in them. The result
// is well-formed XML text for any bytes: a byte that is not part of a UTF-8
// character becomes U+FFFD, a character that XML does not take is written as
// a visible escape (\x1B, \uFFFE), and markup characters as entities.
std::string xml_escaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        char32_t c = 0;
        const std::size_t length = utf8_sequence(text, c);
        if (length == 0) {
            out += "\xEF\xBF\xBD";  // U+FFFD REPLACEMENT CHARACTER
            text.remove_prefix(1);
            continue;
        }
        const std::string_view character = text.substr(0, length);
        text.remove_prefix(length);
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                if (shown_as_is(c)) {
                    out += character;
                } else {
                    char escaped[12];
                    std::snprintf(escaped, sizeof(escaped), c < 0x100 ? "\\x%02X" : "\\u%04X",
                                  static_cast<unsigned>(c));
                    out += escaped;
                }
        }
    }
    return out;
}

// Picture coordinates stay within a few thousand pixels, see Scale.
std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f", value);
    return text;
}

// A floor coordinate for a label: any finite double, short.
std::string meters(double value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.10g", value);
    return text;
}

bool drawable(const Component& c) {
    return std::isfinite(c.x_) && std::isfinite(c.z_);
}

// Maps floor coordinates (z, x) in meters to picture coordinates in pixels,
// both at the same scale. Any finite coordinates give finite pixels: spans
// are taken of halves, so that -1e308 .. 1e308 does not overflow, and a
// picture far taller than wide is scaled down to max_plot_height.
class Scale {
public:
    explicit Scale(const ComponentList& list) {
        for (const Component& c : list.components_) {
            if (drawable(c)) {
                z_min_ = std::min(z_min_, c.z_);
                z_max_ = std::max(z_max_, c.z_);
                x_min_ = std::min(x_min_, c.x_);
                x_max_ = std::max(x_max_, c.x_);
            }
        }
        if (z_min_ > z_max_) {  // nothing to draw
            z_min_ = x_min_ = 0.0;
            z_max_ = x_max_ = 1.0;
        }
        const double z_half_span = std::max(z_max_ / 2 - z_min_ / 2, 0.5);
        const double x_half_span = x_max_ / 2 - x_min_ / 2;
        pixels_per_half_meter_ = plot_width / z_half_span;
        if (x_half_span * pixels_per_half_meter_ > max_plot_height) {
            pixels_per_half_meter_ = max_plot_height / x_half_span;
        }
        plot_height_ = std::max(x_half_span * pixels_per_half_meter_, min_plot_height);
        x_middle_half_ = x_min_ / 4 + x_max_ / 4;
    }

    double px(double z) const { return margin + (z / 2 - z_min_ / 2) * pixels_per_half_meter_; }
    // x grows upwards; the picture's y grows downwards.
    double py(double x) const {
        return legend_height + margin + plot_height_ / 2 -
               (x / 2 - x_middle_half_) * pixels_per_half_meter_;
    }
    double width() const { return plot_width + 2 * margin; }
    double height() const { return legend_height + plot_height_ + 2 * margin; }
    double z_min() const { return z_min_; }
    double z_max() const { return z_max_; }

private:
    double z_min_ = std::numeric_limits<double>::infinity();
    double z_max_ = -std::numeric_limits<double>::infinity();
    double x_min_ = std::numeric_limits<double>::infinity();
    double x_max_ = -std::numeric_limits<double>::infinity();
    double x_middle_half_ = 0.0;  // the middle of the x range, halved
    double pixels_per_half_meter_ = 1.0;
    double plot_height_ = min_plot_height;
};

// The index into flag_names_ of each of `names` that the list has.
std::vector<std::pair<std::string, int>> present_flags(const ComponentList& list,
                                                       const std::vector<std::string>& names) {
    std::vector<std::pair<std::string, int>> flags;
    for (const std::string& name : names) {
        const int index = list.get_flag_idx(name);
        if (index >= 0) {
            flags.emplace_back(name, index);
        }
    }
    return flags;
}

bool carries(const Component& c, int flag_index) {
    return flag_index >= 0 && static_cast<std::size_t>(flag_index) < c.flags_.size() &&
           c.flags_[static_cast<std::size_t>(flag_index)];
}

// Along the beam, two components are never farther apart on the floor than
// along s. A larger jump means that a coordinate is unknown (a NULL reaches
// the list as 0): the band is broken there instead of crossing the picture.
bool plausible_step(const Component& a, const Component& b) {
    constexpr double tolerance = 1.0;  // meters
    return std::hypot(a.z_ - b.z_, a.x_ - b.x_) <= std::fabs(a.s_ - b.s_) + tolerance;
}

// One band per run of plausible steps; a single point still shows as a dot,
// a line from the point to itself with round caps.
// Returns the number of bands written.
std::size_t write_cell_band(std::ostream& out, const Scale& scale,
                            const std::vector<const Component*>& cell) {
    std::size_t bands = 0;
    std::vector<const Component*> run;
    const auto flush = [&] {
        if (run.empty()) {
            return;
        }
        std::string points;
        for (const Component* c : run) {
            points += number(scale.px(c->z_)) + ',' + number(scale.py(c->x_)) + ' ';
        }
        if (run.size() == 1) {
            points += points;
        }
        points.pop_back();
        out << "<polyline class=\"band\" points=\"" << points << "\"/>\n";
        run.clear();
        ++bands;
    };
    for (const Component* c : cell) {
        if (!drawable(*c)) {
            continue;
        }
        if (!run.empty() && !plausible_step(*run.back(), *c)) {
            flush();
        }
        run.push_back(c);
    }
    flush();
    return bands;
}

}  // namespace

LayoutCounts write_layout_svg(std::ostream& out, const ComponentList& list,
                              const LayoutDrawing& drawing) {
    const Scale scale(list);
    const auto lines = present_flags(list, drawing.line_flags);
    const int bpm_index = list.get_flag_idx(drawing.bpm_flag);
    constexpr std::size_t colours = sizeof(palette) / sizeof(palette[0]);

    // The cells and the components are drawn first, so that the legend
    // names only what the picture shows.
    std::ostringstream cells;
    std::size_t bands = 0;
    cells << "<g id=\"cells\">\n";
    for (const auto& cell : drawing.cells) {
        cells << "<g class=\"cell\">\n";
        bands += write_cell_band(cells, scale, cell);
        cells << "</g>\n";
    }
    cells << "</g>\n";

    LayoutCounts counts;
    std::vector<bool> line_drawn(lines.size(), false);
    bool bpm_drawn = false;
    std::ostringstream marks;
    marks << "<g id=\"components\">\n";
    for (const Component& c : list.components_) {
        if (!drawable(c)) {
            ++counts.left_out;
            continue;
        }
        const char* colour = no_line_colour;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (carries(c, lines[i].second)) {
                colour = palette[i % colours];
                line_drawn[i] = true;
                break;
            }
        }
        const bool bpm = carries(c, bpm_index);
        if (bpm) {
            marks << "<rect class=\"bpm\" x=\"" << number(scale.px(c.z_) - 2.5) << "\" y=\""
                  << number(scale.py(c.x_) - 2.5) << "\" width=\"5\" height=\"5\" fill=\"black\">";
            bpm_drawn = true;
        } else {
            marks << "<circle class=\"component\" cx=\"" << number(scale.px(c.z_)) << "\" cy=\""
                  << number(scale.py(c.x_)) << "\" r=\"1.5\" fill=\"" << colour << "\">";
        }
        marks << "<title>" << xml_escaped(c.name_) << "</title>"
              << (bpm ? "</rect>\n" : "</circle>\n");
        ++counts.drawn;
    }
    marks << "</g>\n";

    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << number(scale.width())
        << "\" height=\"" << number(scale.height()) << "\" viewBox=\"0 0 " << number(scale.width())
        << ' ' << number(scale.height()) << "\">\n"
        << "<title>" << xml_escaped(drawing.title) << "</title>\n"
        << "<style>text { font: 12px sans-serif; } .band { fill: none; stroke: #f2c94c;"
           " stroke-opacity: 0.55; stroke-width: 14; stroke-linecap: round;"
           " stroke-linejoin: round; }</style>\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";

    // The legend: a swatch per beamline drawn, then the BPM mark and the
    // cells when there are any. A label's width is guessed from its length.
    out << "<g id=\"legend\">\n";
    double legend_x = margin;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (!line_drawn[i]) {
            continue;
        }
        out << "<circle cx=\"" << number(legend_x + 5) << "\" cy=\"" << number(margin / 2)
            << "\" r=\"5\" fill=\"" << palette[i % colours] << "\"/><text x=\""
            << number(legend_x + 14) << "\" y=\"" << number(margin / 2 + 4) << "\">"
            << xml_escaped(lines[i].first) << "</text>\n";
        legend_x += 24 + 8 * static_cast<double>(std::min<std::size_t>(lines[i].first.size(), 64));
    }
    if (bpm_drawn) {
        out << "<rect x=\"" << number(legend_x) << "\" y=\"" << number(margin / 2 - 4)
            << "\" width=\"8\" height=\"8\" fill=\"black\"/><text x=\"" << number(legend_x + 14)
            << "\" y=\"" << number(margin / 2 + 4) << "\">" << xml_escaped(drawing.bpm_flag)
            << "</text>\n";
        legend_x +=
            30 + 8 * static_cast<double>(std::min<std::size_t>(drawing.bpm_flag.size(), 64));
    }
    if (bands > 0) {
        out << "<line x1=\"" << number(legend_x) << "\" y1=\"" << number(margin / 2) << "\" x2=\""
            << number(legend_x + 16) << "\" y2=\"" << number(margin / 2)
            << "\" class=\"band\" stroke-width=\"8\"/><text x=\"" << number(legend_x + 26)
            << "\" y=\"" << number(margin / 2 + 4) << "\">cells</text>\n";
    }
    out << "</g>\n" << cells.str() << marks.str();

    // The z axis along the bottom, with its range, and what was left out.
    const double axis_y = scale.height() - margin / 2;
    out << "<g id=\"axis\"><line x1=\"" << number(margin) << "\" y1=\"" << number(axis_y)
        << "\" x2=\"" << number(margin + plot_width) << "\" y2=\"" << number(axis_y)
        << "\" stroke=\"black\"/><text x=\"" << number(margin) << "\" y=\"" << number(axis_y - 4)
        << "\">z = " << meters(scale.z_min()) << " m</text><text x=\""
        << number(margin + plot_width) << "\" y=\"" << number(axis_y - 4)
        << "\" text-anchor=\"end\">z = " << meters(scale.z_max())
        << " m (x upwards, same scale)</text></g>\n";
    if (counts.left_out > 0) {
        out << "<text id=\"left-out\" x=\"" << number(margin) << "\" y=\""
            << number(scale.height() - 4) << "\">" << counts.left_out
            << (counts.left_out == 1 ? " component" : " components")
            << " without a finite x and z not drawn</text>\n";
    }
    out << "</svg>\n";
    return counts;
}

}  // namespace zel_sql_tool
