#ifndef ZEL_SQL_BENCH_COMPONENT_FIXTURE_H_
#define ZEL_SQL_BENCH_COMPONENT_FIXTURE_H_

// A synthetic but realistic facility: the same generator fills the database
// views (through the CSV written by zel_sql_bench_datagen) and the in-memory
// lists of the file and query benchmarks, so every benchmark sees the same rows.

#include <cstddef>
#include <ostream>
#include <string>

#include "zel/sql/ComponentList.h"
#include "zel/sql/component_view.h"

namespace zel::sql::bench {

// The facilities that scripts/bench creates, with their number of components.
// Both span s from 0 to 3,000 m.
inline constexpr const char* large_facility = "BENCHL";
inline constexpr std::size_t large_facility_size = 100000;
inline constexpr const char* small_facility = "BENCHS";
inline constexpr std::size_t small_facility_size = 10000;

inline constexpr double beam_length_m = 3000.0;

// Every 20th component is a focusing quadrupole whose name matches this
// pattern: the anchors of the cell benchmarks.
inline constexpr const char* anchor_pattern = "QFA.*";

// The components of a facility of `count` components whose positions rise
// along s from 0 to `length_m`, with ten flags. Deterministic: the same
// arguments give the same list on every machine.
ComponentList make_component_list(std::size_t count, double length_m = beam_length_m);

// The list of make_component_list(count), made once on first use and shared:
// benchmarks that a filter leaves out never pay for it.
const ComponentList& shared_component_list(std::size_t count);

// The list as CSV rows without header, columns in the order of the view:
// the nine texts (LINK_NAME last), X, Y, Z, S, then one 0/1 per flag. Numbers
// carry 17 significant digits so that the database holds the exact doubles.
void write_csv(const ComponentList& list, std::ostream& out);

// The column definitions of the view in CSV order, for CREATE TABLE.
// The statement that attaches the SQLite file holding the TAVIK schema.
inline std::string attach_tavik_statement(const std::string& file) {
    return "ATTACH DATABASE '" + file + "' AS TAVIK";
}

std::string column_definitions(const std::string& text_type, const std::string& number_type,
                               const std::string& flag_type);

}  // namespace zel::sql::bench

#endif  // ZEL_SQL_BENCH_COMPONENT_FIXTURE_H_
