#ifndef ZEL_SQL_SOURCESTATE_H_
#define ZEL_SQL_SOURCESTATE_H_

/// @file
/// The order in which a Database tries its data sources, and what the process
/// knows about each data source (Database::get_source_states()).

#include <chrono>
#include <string>

namespace zel::sql {

/// The order in which a Database tries its primary and its standbys.
enum class SourceOrder {
    /// The primary first, then the standbys in the order added.
    listed,
    /// All of them, primary included, shuffled once per Database, so that many
    /// programs starting at once spread their reads over the sources.
    random,
};

/// What the process knows about one data source. The state is kept per data
/// source name and shared by every Database of the process.
struct SourceState {
    /// The data source name.
    std::string data_source;
    /// Until when no connection to it is attempted; the epoch when it is not
    /// held back.
    std::chrono::system_clock::time_point held_back_until{};
    /// Its last failure; empty when it last answered or was never tried.
    std::string last_error;
    /// Calls given up on it after a timeout whose helper threads are still
    /// blocked in the driver; 0 once each of them has returned.
    int given_up_calls = 0;
};

}  // namespace zel::sql

#endif  // ZEL_SQL_SOURCESTATE_H_
