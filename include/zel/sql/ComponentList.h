#ifndef ZEL_SQL_COMPONENTLIST_H_
#define ZEL_SQL_COMPONENTLIST_H_

/// @file
/// The component list of one facility.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "zel/export.h"
#include "zel/sql/Component.h"

namespace zel::util {
class LineReader;  // internal: the reader of the component list file
enum class Trust;  // internal: how much a file read is checked
}  // namespace zel::util

namespace zel::sql {

class Database;

/// All machine components of one facility together with the names of their
/// flags. Filled from the facility's database view or from a backup text file;
/// queried in memory. Every query returns pointers into components_, valid
/// until the list is cleared, reloaded, assigned or destroyed.
///
/// Invariant: every component holds one flag value per entry of flag_names_.
///
/// Threads: a ComponentList that nobody changes may be read by any number of
/// threads at once (every const member function). Loading, clearing or
/// assigning it needs the list to itself: no lock is taken.
///
/// Name index: find_component_by_name answers from an index of the names in
/// ASCII upper case, which holds for each name the position of its first
/// component and records how many components it covers. read_from_file,
/// read_from_db and read_from_db_with_backup build it, clear() empties it,
/// copies and assignments carry it with the components, and
/// rebuild_name_index() builds it anew. It is never built inside a const
/// function. A name the index knows is answered at once; a name it does not
/// know is looked for only among the components appended since it was built,
/// so a miss costs no more than a hit on a list that nobody changed. Because
/// components_ is public, the index only proposes: a position it gives counts
/// only when the component there still carries the name, and when that
/// position no longer carries it, or the list is shorter than the index
/// covers, the lookup walks the whole list. Two kinds of direct change remain
/// that the index cannot see:
///  - a name the index does not know is looked for only past the components
///    it covers: a component renamed in place to it, or inserted or moved
///    among the covered ones while carrying it, is not found;
///  - a component before the indexed one that now carries the name, after a
///    rename in place, an insertion, an erasure that moved a later duplicate
///    down onto the indexed position, or a reordering (sorting, swapping,
///    shuffling), is passed over for the indexed one.
/// Rule: after any direct change of components_ other than appending at the
/// end or changing members other than name_ (renaming a component in place
/// included), call rebuild_name_index() before the next lookup. Appended
/// components are found without it, by a walk of the appended ones alone;
/// rebuilding makes their lookups constant-time again.
class ZEL_SQL_API ComponentList {
public:
    /// Order of the results of the queries.
    enum class SortOrder : int {
        none = 0,  ///< the stored order
        z = 1,     ///< ascending by z_
        s = 2,     ///< ascending by s_
    };

    /// The components, in the order in which they were read.
    std::vector<Component> components_;
    /// The flag names, in the order of the flag values in every component.
    std::vector<std::string> flag_names_;

    /// Empties both vectors; every pointer into the list becomes invalid.
    void clear();

    /// The components of beamline `flag` whose z_ (SortOrder::z) or s_
    /// (SortOrder::s) lies between the two inclusive bounds, sorted by it. A
    /// component whose coordinate is NaN is always included.
    /// @throws zel::Error "SortOrder::none is not allowed for extract_beamline()".
    std::vector<Component*> extract_beamline(const std::string& flag, double z_or_s_start,
                                             double z_or_s_end, SortOrder sort_order);
    /// The same, for a list that is not to be changed.
    std::vector<const Component*> extract_beamline(const std::string& flag, double z_or_s_start,
                                                   double z_or_s_end, SortOrder sort_order) const;

    /// For every member of `component_ptrs` whose name matches `name_regex`
    /// (ECMAScript, whole name, case ignored), in ascending position, the
    /// members within [position + meters_before, position + meters_after],
    /// sorted by position. Cells may overlap and are never merged.
    /// @throws zel::Error "meters_before must be negative or zero", "meters_after
    /// must be positive or zero", "Invalid sort order (must be z or s)"; and
    /// std::regex_error for an invalid pattern.
    static std::vector<std::vector<Component*>> extract_cells_around_components(
        const std::vector<Component*>& component_ptrs, const std::string& name_regex,
        SortOrder sort_order, double meters_before, double meters_after);
    /// The same, for pointers to components that are not to be changed.
    static std::vector<std::vector<const Component*>> extract_cells_around_components(
        const std::vector<const Component*>& component_ptrs, const std::string& name_regex,
        SortOrder sort_order, double meters_before, double meters_after);

    /// The first component whose name_ equals `name` with ASCII letter case
    /// ignored (bytes of 128 and above compare as they are); nullptr when there
    /// is none. Answered from the name index in constant time, a name the
    /// index does not know after a walk of the components appended since it
    /// was built. See the class comment for the changes of components_ after
    /// which rebuild_name_index() must be called.
    Component* find_component_by_name(std::string_view name);
    /// The same, for a list that is not to be changed.
    const Component* find_component_by_name(std::string_view name) const;

    /// The components that carry flag `flag_name` (looked up by get_flag_idx),
    /// sorted; empty for an unknown flag.
    std::vector<Component*> find_components_with_flag(const std::string& flag_name,
                                                      SortOrder sort_order);
    /// The same, for a list that is not to be changed.
    std::vector<const Component*> find_components_with_flag(const std::string& flag_name,
                                                            SortOrder sort_order) const;

    /// Index of the first flag name equal to `name` in ASCII upper case; -1
    /// when there is none.
    int get_flag_idx(const std::string& name) const;

    /// All components, sorted.
    std::vector<Component*> get_sorted_list(SortOrder sort_order);
    /// The same, for a list that is not to be changed.
    std::vector<const Component*> get_sorted_list(SortOrder sort_order) const;

    /// Loads the list of facility `machine` (any accepted spelling) from the
    /// database and writes it to `backup_filename` (by default
    /// db_component_list_\<FACILITY\>.txt in the working directory). When the
    /// database fails, the list is read from that file instead and written
    /// back.
    /// @return "" on full success, the database's message when the list came
    /// from the file, the write's message when the backup could not be written.
    /// @throws zel::Error "<database message>; <file message>" when both fail.
    std::string read_from_db_with_backup(Database& db, const std::string& machine,
                                         std::string backup_filename = std::string());

    /// Loads the list of facility `machine` from its view
    /// \<FACILITY\>_VIEW_COMPONENTS in schema TAVIK. The list is emptied first.
    /// @throws zel::Error for every database failure, including a failed fetch
    /// ("Fetch failed: ...") and a facility whose canonical name is not a plain
    /// SQL identifier ("Invalid facility name: ...").
    void read_from_db(Database& db, const std::string& machine);

    /// Builds the name index anew from components_, in list order. Needed
    /// after a direct change of components_ other than appending or changing
    /// members other than name_, renaming in place included (see the class
    /// comment); cheap next to a load.
    void rebuild_name_index();

    /// Replaces the list by the content of the file `filename`.
    /// @throws zel::Error with the line or block that could not be read.
    void read_from_file(const std::string& filename);

    /// Writes the list to `filename` through a temporary file in the same
    /// folder that replaces it only once completely written and synced: the
    /// previous file survives every failure. A list that would not read back
    /// as the same strings is refused before any file is touched.
    /// @throws zel::Error "Unable to write ...", "Unable to open ... for
    /// writing" or "Error while writing to ...".
    void write_to_file(const std::string& filename) const;

private:
    // The backup file, read only when another local user cannot have planted
    // or changed it (src/util/trusted_file.h).
    void read_from_backup_file(const std::string& filename);
    void read_from_file_under(const std::string& filename, util::Trust trust);
    void read_lines_of(const std::string& filename, util::Trust trust);
    void read_components_from_stream(util::LineReader& lines);
    void read_flag_names_from_db_table(Database& db, const std::string& table);
    void read_flag_names_from_stream(util::LineReader& lines);

    // The name index: one 64-bit slot per table entry, holding a hash tag and
    // a position in components_, then the number of components it covers
    // (src/component_list/name_index.h). Not part
    // of the list's value: operator== ignores it.
    std::vector<std::uint64_t> name_index_;
};

/// Equal components in the same order and equal flag names in the same order.
ZEL_SQL_API bool operator==(const ComponentList& a, const ComponentList& b);
/// The negation of operator==.
ZEL_SQL_API bool operator!=(const ComponentList& a, const ComponentList& b);

}  // namespace zel::sql

#endif  // ZEL_SQL_COMPONENTLIST_H_
