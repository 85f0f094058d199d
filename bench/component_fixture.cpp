#include "component_fixture.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>

namespace zel::sql::bench {
namespace {

constexpr const char* flag_names[] = {"MAG", "DIAG", "BPM", "VAC", "RF",
                                      "BL1", "BL2",  "BL3", "PS",  "MOV"};
// How often each flag is set, in percent.
constexpr unsigned flag_percent[] = {45, 15, 8, 20, 3, 60, 30, 10, 40, 5};

// Component kinds; the first is the anchor kind and comes every 20th row.
constexpr const char* kinds[] = {"QFA", "QDB", "BPM", "VAC", "COR", "SXT", "DIP",
                                 "RFC", "KCK", "SCR", "ION", "TMP", "FLG", "COL",
                                 "SEP", "BLM", "ICT", "WIR", "UND", "HOR"};
constexpr std::size_t kind_count = sizeof(kinds) / sizeof(kinds[0]);

constexpr char text_chars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-";

// splitmix64: small, fast and the same everywhere, unlike the standard
// library's distributions.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    std::size_t below(std::size_t bound) { return static_cast<std::size_t>(next() % bound); }
    double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

private:
    std::uint64_t state_;
};

// Appends random characters until `text` is `length` long.
std::string padded(std::string text, std::size_t length, Random& random) {
    while (text.size() < length) {
        text.push_back(text_chars[random.below(sizeof(text_chars) - 1)]);
    }
    return text;
}

std::string random_text(Random& random) {
    return padded({}, 5 + random.below(36), random);
}

// Rounds to 0.1 mm: positions as a survey would deliver them.
double survey_rounded(double meters) {
    return std::round(meters * 1e4) / 1e4;
}

}  // namespace

ComponentList make_component_list(std::size_t count, double length_m) {
    Random random(0x7a656cULL + count);
    ComponentList list;
    list.flag_names_.assign(std::begin(flag_names), std::end(flag_names));
    list.components_.reserve(count);
    const double step = count > 1 ? length_m / static_cast<double>(count) : 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        Component c;
        char number[24];
        std::snprintf(number, sizeof(number), "%06zu", i);
        const std::string base = std::string(kinds[i % kind_count]) + number;
        c.name_ = padded(base, base.size() + random.below(41 - base.size()), random);
        c.real_name_ = random_text(random);
        c.name2_ = random_text(random);
        c.section_ = padded("L", 5 + random.below(6), random);
        c.group_ = random_text(random);
        c.class_ = padded(kinds[i % kind_count], 5 + random.below(11), random);
        c.type_ = random_text(random);
        c.friendly_name_ = random_text(random);
        c.link_name_ = random_text(random);
        c.s_ = survey_rounded(step * (static_cast<double>(i) + 0.9 * random.unit()));
        c.z_ = survey_rounded(c.s_ * 0.9985);
        c.x_ = survey_rounded(0.1 * (random.unit() - 0.5));
        c.y_ = survey_rounded(0.02 * (random.unit() - 0.5));
        c.flags_.reserve(list.flag_names_.size());
        for (const unsigned percent : flag_percent) {
            c.flags_.push_back(random.below(100) < percent);
        }
        list.components_.push_back(std::move(c));
    }
    // As every load does: the lookups by name go through the index.
    list.rebuild_name_index();
    return list;
}

const ComponentList& shared_component_list(std::size_t count) {
    static std::map<std::size_t, std::unique_ptr<const ComponentList>> lists;
    auto& list = lists[count];
    if (!list) {
        list = std::make_unique<const ComponentList>(make_component_list(count));
    }
    return *list;
}

void write_csv(const ComponentList& list, std::ostream& out) {
    char number[32];
    const auto write_number = [&](double value) {
        std::snprintf(number, sizeof(number), "%.17g", value);
        out << ',' << number;
    };
    for (const Component& c : list.components_) {
        out << c.name_ << ',' << c.real_name_ << ',' << c.name2_ << ',' << c.section_ << ','
            << c.group_ << ',' << c.class_ << ',' << c.type_ << ',' << c.friendly_name_ << ','
            << c.link_name_;
        write_number(c.x_);
        write_number(c.y_);
        write_number(c.z_);
        write_number(c.s_);
        for (const bool flag : c.flags_) {
            out << ',' << (flag ? '1' : '0');
        }
        out << '\n';
    }
}

std::string column_definitions(const std::string& text_type, const std::string& number_type,
                               const std::string& flag_type) {
    std::string columns;
    for (const ComponentTextField& text : component_text_fields) {
        columns += std::string(text.column) + " " + text_type + ", ";
    }
    for (const ComponentCoordinateField& number : component_coordinate_fields) {
        columns += std::string(number.column) + " " + number_type + ", ";
    }
    for (const char* flag : flag_names) {
        columns += std::string(flag_column_prefix) + flag + " " + flag_type + ", ";
    }
    columns.resize(columns.size() - 2);
    return columns;
}

}  // namespace zel::sql::bench
