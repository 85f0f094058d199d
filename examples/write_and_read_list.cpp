// Writes a component list to its text file and reads it back; no database is
// involved. The same file format serves as the backup copy of a facility's
// list (read_from_db_with_backup).
//
//   write_and_read_list [FILE]        (default: component_list.txt)

#include <iostream>
#include <string>
#include <utility>

#include <zel/sql.h>

namespace {

using zel::sql::Component;
using zel::sql::ComponentList;
using SortOrder = zel::sql::ComponentList::SortOrder;

// Positions with at most 15 significant digits come back from the file
// exactly. One flag value per flag name of the list, in the order of flag_names_.
Component make_component(std::string name, std::string type, double z, double s, bool quad,
                         bool bpm) {
    Component c;
    c.name_ = std::move(name);
    c.real_name_ = "DEMO." + c.name_;
    c.section_ = "L3";
    c.class_ = quad ? "QUAD" : "BPM";
    c.type_ = std::move(type);
    c.friendly_name_ = c.class_ + " " + c.name_;
    c.z_ = z;
    c.s_ = s;
    c.flags_ = {quad, bpm};
    c.link_name_ = quad ? c.name_ + ".PS" : "";
    return c;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string file = argc > 1 ? argv[1] : "component_list.txt";

    ComponentList list;
    list.flag_names_ = {"QUAD", "BPM"};
    list.components_.push_back(make_component("QX8", "QD", 106.239, 106.25, true, false));
    list.components_.push_back(make_component("QX7", "QF", 104.52, 104.531, true, false));
    list.components_.push_back(make_component("BX7", "BPM", 104.989, 105.0, false, true));

    try {
        // Written through a temporary file that replaces `file` only when
        // complete: an earlier copy survives any failure.
        list.write_to_file(file);

        ComponentList copy;
        copy.read_from_file(file);
        std::cout << "Read back " << copy.components_.size() << " components from " << file
                  << (copy == list ? ", equal to the written list\n" : ", NOT EQUAL\n");

        // Lookups ignore ASCII letter case, for names and for flags.
        if (const Component* qx7 = copy.find_component_by_name("qx7")) {
            std::cout << qx7->name_ << " is a " << qx7->friendly_name_ << " at s = " << qx7->s_
                      << " m, supplied by " << qx7->link_name_ << '\n';
        }
        std::cout << "Quadrupoles along s:";
        for (const Component* c : copy.find_components_with_flag("quad", SortOrder::s)) {
            std::cout << ' ' << c->name_;
        }
        std::cout << '\n';
        return copy == list ? 0 : 1;
    } catch (const zel::Error& e) {
        std::cerr << e.what() << '\n';
        return 1;
    }
}
