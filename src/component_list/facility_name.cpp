#include "zel/sql/functions.h"

#include "util/string.h"

namespace zel::sql {
namespace {

struct FacilityAlias {
    std::string_view prefix;
    std::string_view canonical_name;
};

// Tried from the top; the first prefix that matches decides.
constexpr FacilityAlias facility_aliases[] = {
    {"QOR", "MIRAN"},          {"VMIRAN", "MIRAN_SIM"},      {"MIRAN.SIM", "MIRAN_SIM"},
    {"VORVANT", "ORVANT_SIM"}, {"ORVANT.SIM", "ORVANT_SIM"}, {"VDUNO", "DUNO_SIM"},
    {"DUNO.SIM", "DUNO_SIM"},
};

}  // namespace

std::string standardize_facility_name(std::string_view facility) {
    std::string name = util::uppercase_ascii(util::trim_sv(facility));
    for (const FacilityAlias& alias : facility_aliases) {
        if (util::starts_with(name, alias.prefix)) {
            return std::string(alias.canonical_name);
        }
    }
    const auto dot = name.find('.');
    if (dot != std::string::npos) {
        name.erase(dot);
    }
    return name;
}

}  // namespace zel::sql
