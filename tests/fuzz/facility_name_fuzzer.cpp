// Properties of the facility name canonicalisation that hold for every input:
// letter case and surrounding white space of the input never matter, the
// result carries no lower-case letter, no full stop and no leading white
// space, and canonicalising it again only trims it.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "util/string.h"
#include "zel/sql/functions.h"

namespace {

using zel::sql::standardize_facility_name;
using zel::sql::test::fuzz::check;

bool is_canonical_alias(const std::string& name) {
    return name == "MIRAN" || name == "MIRAN_SIM" || name == "ORVANT_SIM" || name == "DUNO_SIM";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view facility(reinterpret_cast<const char*>(data), size);
    const std::string name = standardize_facility_name(facility);
    const std::string context = "for input \"" + std::string(facility) + "\": \"" + name + "\"";

    for (const char c : name) {
        check(!(c >= 'a' && c <= 'z'), "lower-case letter in the result " + context);
        check(c != '.', "full stop in the result " + context);
    }
    check(name.empty() || zel::util::default_whitespace.find(name.front()) == std::string::npos,
          "leading white space in the result " + context);

    // Apart from the fixed aliases, the result is a prefix of the trimmed,
    // upper-cased input: nothing is invented, only cut off.
    const std::string upper = zel::util::uppercase_ascii(zel::util::trim_sv(facility));
    check(is_canonical_alias(name) || upper.compare(0, name.size(), name) == 0,
          "result is neither an alias nor a prefix of the input " + context);

    // A cut before a full stop can leave white space at the end ("abc .x"
    // gives "ABC "), which the next call trims away; nothing else changes.
    check(standardize_facility_name(name) == zel::util::trim_sv(name),
          "canonicalising the result again changes more than white space " + context);

    std::string lower(facility);
    for (char& c : lower) {
        c = zel::util::lowercase_ascii(c);
    }
    check(standardize_facility_name(lower) == name,
          "letter case of the input changes the result " + context);
    check(standardize_facility_name(" \t" + std::string(facility) + "\r\n") == name,
          "white space around the input changes the result " + context);
    return 0;
}
