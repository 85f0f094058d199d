#include "layout_svg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string_view>

namespace zel_sql_tool {
namespace {

using zel::sql::Component;
using zel::sql::ComponentList;

constexpr double plot_width = 1200.0;  // pixels for the z range
constexpr double min_plot_height = 160.0;
constexpr double margin = 40.0;
constexpr double legend_height = 24.0;

const char* const palette[] = {"#1f77b4", "#d62728", "#2ca02c", "#ff7f0e",
                               "#9467bd", "#8c564b", "#e377c2", "#17becf"};
const char* const no_line_colour = "#888888";

// Names come from the database: anything may be in them.
std::string xml_escaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
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
                // Control characters are not allowed in XML 1.0 text.
                out += static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' ? '?' : c;
        }
    }
    return out;
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f", value);
    return text;
}

bool drawable(const Component& c) {
    return std::isfinite(c.x_) && std::isfinite(c.z_);
}

// Maps floor coordinates (z, x) in meters to picture coordinates in pixels.
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
        const double z_span = std::max(z_max_ - z_min_, 1.0);
        pixels_per_meter_ = plot_width / z_span;
        plot_height_ = std::max((x_max_ - x_min_) * pixels_per_meter_, min_plot_height);
    }

    double px(double z) const { return margin + (z - z_min_) * pixels_per_meter_; }
    // x grows upwards; the picture's y grows downwards.
    double py(double x) const {
        const double x_middle = (x_min_ + x_max_) / 2;
        return legend_height + margin + plot_height_ / 2 - (x - x_middle) * pixels_per_meter_;
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
    double pixels_per_meter_ = 1.0;
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
void write_cell_band(std::ostream& out, const Scale& scale,
                     const std::vector<const Component*>& cell) {
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
}

}  // namespace

LayoutCounts write_layout_svg(std::ostream& out, const ComponentList& list,
                              const LayoutDrawing& drawing) {
    const Scale scale(list);
    const auto lines = present_flags(list, drawing.line_flags);
    const int bpm_index = list.get_flag_idx(drawing.bpm_flag);
    constexpr std::size_t colours = sizeof(palette) / sizeof(palette[0]);

    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << number(scale.width())
        << "\" height=\"" << number(scale.height()) << "\" viewBox=\"0 0 " << number(scale.width())
        << ' ' << number(scale.height()) << "\">\n"
        << "<title>" << xml_escaped(drawing.title) << "</title>\n"
        << "<style>text { font: 12px sans-serif; } .band { fill: none; stroke: #f2c94c;"
           " stroke-opacity: 0.55; stroke-width: 14; stroke-linecap: round;"
           " stroke-linejoin: round; }</style>\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";

    // The legend: one swatch per beamline, then the BPM mark and the cells.
    out << "<g id=\"legend\">\n";
    double legend_x = margin;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        out << "<circle cx=\"" << number(legend_x + 5) << "\" cy=\"" << number(margin / 2)
            << "\" r=\"5\" fill=\"" << palette[i % colours] << "\"/><text x=\""
            << number(legend_x + 14) << "\" y=\"" << number(margin / 2 + 4) << "\">"
            << xml_escaped(lines[i].first) << "</text>\n";
        legend_x += 24 + 8 * static_cast<double>(lines[i].first.size());
    }
    out << "<rect x=\"" << number(legend_x) << "\" y=\"" << number(margin / 2 - 4)
        << "\" width=\"8\" height=\"8\" fill=\"black\"/><text x=\"" << number(legend_x + 14)
        << "\" y=\"" << number(margin / 2 + 4) << "\">" << xml_escaped(drawing.bpm_flag)
        << "</text>\n";
    legend_x += 30 + 8 * static_cast<double>(drawing.bpm_flag.size());
    out << "<line x1=\"" << number(legend_x) << "\" y1=\"" << number(margin / 2) << "\" x2=\""
        << number(legend_x + 16) << "\" y2=\"" << number(margin / 2)
        << "\" class=\"band\" stroke-width=\"8\"/><text x=\"" << number(legend_x + 26) << "\" y=\""
        << number(margin / 2 + 4) << "\">cells</text>\n</g>\n";

    // The cells first, so that the components stay visible on top of them.
    out << "<g id=\"cells\">\n";
    for (const auto& cell : drawing.cells) {
        out << "<g class=\"cell\">\n";
        write_cell_band(out, scale, cell);
        out << "</g>\n";
    }
    out << "</g>\n";

    LayoutCounts counts;
    out << "<g id=\"components\">\n";
    for (const Component& c : list.components_) {
        if (!drawable(c)) {
            ++counts.left_out;
            continue;
        }
        const char* colour = no_line_colour;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (carries(c, lines[i].second)) {
                colour = palette[i % colours];
                break;
            }
        }
        const std::string x = number(scale.px(c.z_));
        const std::string y = number(scale.py(c.x_));
        if (carries(c, bpm_index)) {
            out << "<rect class=\"bpm\" x=\"" << number(scale.px(c.z_) - 2.5) << "\" y=\""
                << number(scale.py(c.x_) - 2.5) << "\" width=\"5\" height=\"5\" fill=\"black\">";
        } else {
            out << "<circle class=\"component\" cx=\"" << x << "\" cy=\"" << y
                << "\" r=\"1.5\" fill=\"" << colour << "\">";
        }
        out << "<title>" << xml_escaped(c.name_) << "</title>"
            << (carries(c, bpm_index) ? "</rect>\n" : "</circle>\n");
        ++counts.drawn;
    }
    out << "</g>\n";

    // The z axis along the bottom, with its range.
    const double axis_y = scale.height() - margin / 2;
    out << "<g id=\"axis\"><line x1=\"" << number(margin) << "\" y1=\"" << number(axis_y)
        << "\" x2=\"" << number(margin + plot_width) << "\" y2=\"" << number(axis_y)
        << "\" stroke=\"black\"/><text x=\"" << number(margin) << "\" y=\"" << number(axis_y - 4)
        << "\">z = " << number(scale.z_min()) << " m</text><text x=\""
        << number(margin + plot_width) << "\" y=\"" << number(axis_y - 4)
        << "\" text-anchor=\"end\">z = " << number(scale.z_max())
        << " m (x upwards, same scale)</text></g>\n"
        << "</svg>\n";
    return counts;
}

}  // namespace zel_sql_tool
