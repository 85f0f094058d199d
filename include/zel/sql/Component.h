#ifndef ZEL_SQL_COMPONENT_H_
#define ZEL_SQL_COMPONENT_H_

/// @file
/// One machine component of a facility.

#include <string>
#include <vector>

namespace zel::sql {

/// One machine component: its names and classification texts, its position
/// and one yes/no value per flag of the owning ComponentList. A plain record;
/// the texts are kept exactly as the database or the file delivered them.
struct Component {
    std::string name_;           ///< the name; key of find_component_by_name
    std::string real_name_;      ///< carried along
    std::string name2_;          ///< carried along
    std::string section_;        ///< carried along
    std::string group_;          ///< carried along
    std::string class_;          ///< carried along
    std::string type_;           ///< carried along
    std::string friendly_name_;  ///< carried along
    std::string link_name_;      ///< carried along
    double x_ = 0.0;             ///< coordinate x in meters
    double y_ = 0.0;             ///< coordinate y in meters
    double z_ = 0.0;             ///< coordinate z in meters; key of SortOrder::z
    double s_ = 0.0;             ///< position along the beam path in meters; key of SortOrder::s
    std::vector<bool> flags_;    ///< entry i: the component carries flag i of the list
};

/// True when all nine texts are equal byte for byte, the four coordinates are
/// equal as doubles (NaN equals nothing, 0.0 equals -0.0) and the flags are
/// equal.
inline bool operator==(const Component& a, const Component& b) {
    return a.name_ == b.name_ && a.real_name_ == b.real_name_ && a.name2_ == b.name2_ &&
           a.section_ == b.section_ && a.group_ == b.group_ && a.class_ == b.class_ &&
           a.type_ == b.type_ && a.friendly_name_ == b.friendly_name_ &&
           a.link_name_ == b.link_name_ && a.x_ == b.x_ && a.y_ == b.y_ && a.z_ == b.z_ &&
           a.s_ == b.s_ && a.flags_ == b.flags_;
}

}  // namespace zel::sql

#endif  // ZEL_SQL_COMPONENT_H_
