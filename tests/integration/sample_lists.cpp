#include "sample_lists.h"

#include <cstddef>
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

std::string long_friendly_name() {
    std::string name = "Friendly name ";
    for (int i = 0; i < 29; ++i) {
        name += "0123456789";
    }
    return name;
}

std::vector<Component> expected_miran_components() {
    return {
        make_component({"QUAD_01", "Q1.MAIN", "Q01", "S1", "MAGNETS", "QUADRUPOLE", "QF",
                        "Focusing quadrupole 1", "QUAD_01_PS"},
                       {0.125, -0.5, 12.75, 13.0}, {true, false, false}),
        make_component({"BPM_02", "", "B02", "S1", "DIAGNOSTICS", "BPM", "STRIPLINE",
                        "Beam position monitor 2", ""},
                       {1.5, 0.0, 0.0, 20.5}, {true, true, false}),
        make_component({"LONG_03", "", "", "", "", "", "", long_friendly_name().substr(0, 255), ""},
                       {0.0, 0.0, 0.0, 0.0}, {false, false, true}),
        make_component({"VALVE_04", "V4.MAIN", "V04", "S2", "VACUUM", "VALVE", "GATE",
                        "Gate valve 4", "VALVE_04_CTRL"},
                       {-3.25, 1000.0, 250.5, -0.75}, {false, true, true}),
    };
}

ComponentList expected_miran_list() {
    ComponentList list;
    list.flag_names_ = {"MAIN_BEAM", "BPM", "VACUUM"};
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
