// A picture of a facility for the control room: the floor layout of its
// components (x against z) as an SVG drawing, written by hand as text.
// The one drawing of the project: `zel-sql list draw` uses it, and the example
// facility_overview compiles this file into itself for its --svg option, so
// that the two never draw differently. Public API of the library only.

#ifndef ZEL_SQL_TOOL_LAYOUT_SVG_H_
#define ZEL_SQL_TOOL_LAYOUT_SVG_H_

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

#include <zel/sql.h>

namespace zel_sql_tool {

struct LayoutDrawing {
    std::string title;
    // The flags that name beamlines, one colour each; a component takes the
    // colour of the first of them that it carries, grey when it has none.
    std::vector<std::string> line_flags;
    // Components with this flag are drawn as squares instead of dots.
    std::string bpm_flag = "BPM";
    // Groups of components drawn as translucent bands under the dots.
    std::vector<std::vector<const zel::sql::Component*>> cells;
};

struct LayoutCounts {
    std::size_t drawn = 0;     // one mark each
    std::size_t left_out = 0;  // x or z unknown (NaN) or infinite
};

// Writes `list` as an SVG document to `out`: z runs to the right, x upwards,
// both at the same scale. Every drawn component is one element with class
// "component" or "bpm" and its name as tooltip. The legend shows only the
// beamlines, the BPM mark and the cells that are drawn; components without a
// finite x and z are left out, with a note in the picture. The document is
// well-formed XML for any names (bytes that are not UTF-8 are replaced) and
// any coordinates.
LayoutCounts write_layout_svg(std::ostream& out, const zel::sql::ComponentList& list,
                              const LayoutDrawing& drawing);

}  // namespace zel_sql_tool

#endif  // ZEL_SQL_TOOL_LAYOUT_SVG_H_
