// Reads arbitrary bytes as a component list file. Whatever the reader accepts
// must satisfy the list's invariants, and a list that the writer agrees to
// write must read back with the same texts, flags and (to the 16 significant
// digits of the file format) the same coordinates.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "test_support.h"
#include "util/string.h"
#include "zel/Error.h"
#include "zel/sql/ComponentList.h"
#include "zel/sql/component_view.h"

namespace {

using zel::sql::Component;
using zel::sql::ComponentList;
using zel::sql::test::fuzz::check;
using zel::sql::test::fuzz::fail;

// A folder of this process's own, so that parallel fuzzing jobs never share
// files; removed when the fuzzer exits normally.
const zel::sql::test::TempDir& scratch() {
    static const zel::sql::test::TempDir dir;
    return dir;
}

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The file keeps 16 significant digits, so a coordinate comes back as the
// nearest double to its rounded decimal form; NaN comes back as a NaN.
bool same_coordinate(double written, double read) {
    if (std::isnan(written) || std::isnan(read)) {
        return std::isnan(written) && std::isnan(read);
    }
    if (std::isinf(written) || std::isinf(read)) {
        return written == read;
    }
    return std::fabs(written - read) <= 1e-15 * std::fabs(written);
}

void check_invariants(const ComponentList& list) {
    for (const std::string& flag : list.flag_names_) {
        check(!flag.empty() && zel::util::trim_sv(flag) == flag,
              "a flag name read from a file is empty or untrimmed: \"" + flag + "\"");
    }
    for (const Component& component : list.components_) {
        check(component.flags_.size() == list.flag_names_.size(),
              "component " + component.name_ + " has a flag count that differs from the header");
    }
}

void check_same_list(const ComponentList& written, const ComponentList& read) {
    check(written.flag_names_ == read.flag_names_, "flag names changed on the round trip");
    check(written.components_.size() == read.components_.size(),
          "number of components changed on the round trip");
    for (std::size_t i = 0; i < written.components_.size(); ++i) {
        const Component& a = written.components_[i];
        const Component& b = read.components_[i];
        const std::string which = "component #" + std::to_string(i) + " (" + a.name_ + ")";
        for (const auto& field : zel::sql::component_text_fields) {
            check(a.*field.member == b.*field.member,
                  which + ": text " + field.column + " changed on the round trip");
        }
        check(a.flags_ == b.flags_, which + ": flags changed on the round trip");
        for (const auto& field : zel::sql::component_coordinate_fields) {
            check(same_coordinate(a.*field.member, b.*field.member),
                  which + ": coordinate " + field.column + " changed on the round trip");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input_file = scratch().file("input.txt");
    zel::sql::test::write_file(input_file,
                               std::string_view(reinterpret_cast<const char*>(data), size));
    ComponentList list;
    try {
        list.read_from_file(input_file);
    } catch (const zel::Error&) {
        return 0;  // a malformed file is rejected with a message; that is all we ask
    }
    check_invariants(list);

    const std::string copy_file = scratch().file("copy.txt");
    try {
        list.write_to_file(copy_file);
    } catch (const zel::Error& e) {
        // Refusing a list that cannot be represented is fine; any other
        // failure to write into a private folder is not.
        if (starts_with(e.what(), "Unable to write " + copy_file + ": ")) {
            return 0;
        }
        fail(std::string("writing a list that was just read failed: ") + e.what());
    }

    ComponentList copy;
    try {
        copy.read_from_file(copy_file);
    } catch (const zel::Error& e) {
        fail(std::string("reading back a written list failed: ") + e.what());
    }
    check_same_list(list, copy);
    return 0;
}
