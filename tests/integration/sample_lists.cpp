#include "sample_lists.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <fstream>
#include <stdexcept>
#include <utility>

#include "zel/sql/component_view.h"

namespace zel::sql::test::integration {

Component make_component(std::vector<std::string> texts, std::vector<double> position,
                         std::vector<bool> flags) {
    Component c;
    for (std::size_t i = 0; i < component_text_fields.size(); ++i) {
        c.*component_text_fields[i].member = std::move(texts.at(i));
    }
    for (std::size_t i = 0; i < component_coordinate_fields.size(); ++i) {
        c.*component_coordinate_fields[i].member = position.at(i);
    }
    c.flags_ = std::move(flags);
    return c;
}

namespace {

// The description of MIRAN that the Python and zel-sql tests read as well,
// parsed once; a file that cannot be read or parsed fails the test that asks.
const nlohmann::json& miran_description() {
    static const nlohmann::json description = [] {
        std::ifstream file(ZEL_SQL_TEST_MIRAN_FILE);
        if (!file) {
            throw std::runtime_error("cannot read " + std::string(ZEL_SQL_TEST_MIRAN_FILE));
        }
        return nlohmann::json::parse(file);
    }();
    return description;
}

}  // namespace

std::vector<Component> expected_miran_components() {
    std::vector<Component> components;
    for (const nlohmann::json& row : miran_description().at("components")) {
        Component& c = components.emplace_back();
        for (const ComponentTextField& field : component_text_fields) {
            c.*field.member = row.at(field.column).get<std::string>();
        }
        for (const ComponentCoordinateField& field : component_coordinate_fields) {
            c.*field.member = row.at(field.column).get<double>();
        }
        c.flags_ = row.at("flags").get<std::vector<bool>>();
    }
    return components;
}

ComponentList expected_miran_list() {
    ComponentList list;
    list.flag_names_ = miran_description().at("flag_names").get<std::vector<std::string>>();
    list.components_ = expected_miran_components();
    return list;
}

ComponentList backup_only_list() {
    ComponentList list;
    list.flag_names_ = {"SPARE"};
    list.components_ = {make_component({"SPARE_01", "", "", "S9", "", "", "", "", ""},
                                       {1.0, 2.0, 3.0, 4.0}, {true})};
    return list;
}

}  // namespace zel::sql::test::integration
