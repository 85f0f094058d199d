// Uses the installed headers and library: a free function, the component
// list, an exception thrown inside the library and caught here by its type,
// and a Database (which needs unixODBC's headers through the package).

#include <iostream>

#include <zel/sql.h>

int main() {
    zel::sql::ComponentList list;
    list.flag_names_ = {"BPM"};
    zel::sql::Component bpm;
    bpm.name_ = "BPM1";
    bpm.flags_ = {true};
    list.components_.push_back(bpm);

    std::cout << zel::sql::standardize_facility_name(" vmiran ") << ' '
              << list.find_components_with_flag("bpm", zel::sql::ComponentList::SortOrder::s).size()
              << '\n';

    try {
        zel::sql::Cache cache;
        cache.set_folder("");
    } catch (const zel::Error& e) {
        std::cout << e.get_message() << '\n';
    }

    // Constructing contacts nothing.
    zel::sql::Database db("no_such_data_source", "", "");
    std::cout << db.get_cache().get_folder() << '\n';
    return 0;
}
