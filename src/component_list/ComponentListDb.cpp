// Loading a facility's component list from its database view, with the text
// file as backup copy.

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "component_list/component_view.h"
#include "odbc/bounded_operation.h"
#include "odbc/join_errors.h"
#include "util/string.h"
#include "zel/Error.h"
#include "zel/sql/ComponentList.h"
#include "zel/sql/Database.h"
#include "zel/sql/component_view.h"
#include "zel/sql/functions.h"

namespace zel::sql {
namespace {

constexpr std::size_t text_buffer_len = 256;

// The canonical facility name becomes part of an SQL identifier, so it may
// hold nothing that could end the identifier or start another clause.
bool is_plain_identifier(const std::string& name) {
    if (name.empty()) {
        return false;
    }
    for (const char c : name) {
        const bool ok =
            (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '$' || c == '#';
        if (!ok) {
            return false;
        }
    }
    return true;
}

// The text of a bound buffer up to its first NUL, and never more than 255
// bytes: a value that did not fit is cut to what a terminated buffer holds.
// Most drivers terminate a cut value; MariaDB Connector/ODBC fills the whole
// buffer instead and writes no NUL at all.
std::string text_of(const char (&buffer)[text_buffer_len]) {
    return std::string(buffer, ::strnlen(buffer, text_buffer_len - 1));
}

// One row of the component view as the driver delivers it, in the order of
// component_text_fields and component_coordinate_fields.
struct RowBuffers {
    char texts[component_text_fields.size()][text_buffer_len];
    double coordinates[component_coordinate_fields.size()];
    std::vector<unsigned short> flags;

    explicit RowBuffers(std::size_t num_flags) : flags(num_flags) {}
    // The driver keeps the addresses of the bound buffers: the row stays put.
    RowBuffers(const RowBuffers&) = delete;
    RowBuffers& operator=(const RowBuffers&) = delete;

    // A NULL value leaves its buffer untouched, so every buffer starts each row
    // empty: NULL text reads as "", a NULL position as 0.0, a NULL flag as false.
    void reset() {
        for (char* text : texts) {
            text[0] = '\0';
        }
        std::fill(std::begin(coordinates), std::end(coordinates), 0.0);
        std::fill(flags.begin(), flags.end(), static_cast<unsigned short>(0));
    }

    Component to_component() const {
        Component c;
        for (std::size_t i = 0; i < component_text_fields.size(); ++i) {
            c.*component_text_fields[i].member = text_of(texts[i]);
        }
        for (std::size_t i = 0; i < component_coordinate_fields.size(); ++i) {
            c.*component_coordinate_fields[i].member = coordinates[i];
        }
        c.flags_.reserve(flags.size());
        for (const unsigned short flag : flags) {
            c.flags_.push_back(flag != 0);
        }
        return c;
    }
};

// Binds `row` to the columns of detail::component_view_select: the leading
// texts, the coordinates, the link name, then the flags.
void bind_row(Query& query, RowBuffers& row) {
    int column = 1;
    for (std::size_t i = 0; i < component_leading_text_fields; ++i) {
        query.bind_column(column++, row.texts[i], text_buffer_len);
    }
    for (double& coordinate : row.coordinates) {
        query.bind_column(column++, &coordinate, 1);
    }
    query.bind_column(column++, row.texts[component_leading_text_fields], text_buffer_len);
    for (unsigned short& flag : row.flags) {
        query.bind_column(column++, &flag, 1);
    }
}

}  // namespace

void ComponentList::read_flag_names_from_db_table(Database& db, const std::string& table) {
    flag_names_.clear();
    for (const std::string& col_name : db.read_column_names(table, component_view_owner)) {
        const std::string upper = util::uppercase_ascii(col_name);
        if (util::starts_with(upper, flag_column_prefix)) {
            flag_names_.push_back(upper.substr(flag_column_prefix.size()));
        }
    }
}

void ComponentList::read_from_db(Database& db, const std::string& machine) {
    if (detail::runs_bounded(db)) {
        // The helper fills a list of its own: after a timeout it may still be
        // writing to it. When it ends, its list is this one's, whatever state
        // a failure left it in; after a timeout this one stays empty. With
        // standbys each source tried fills a list of its own.
        clear();
        detail::run_bounded_into(db, *this, [machine](Database& on, ComponentList& loaded) {
            loaded.read_from_db(on, machine);
        });
        return;
    }
    util::check_no_nul(machine, "Invalid facility name");
    const std::string machine_name = standardize_facility_name(machine);
    clear();
    if (!is_plain_identifier(machine_name)) {
        throw Error(util::cat("Invalid facility name: \"", machine_name, "\""));
    }
    read_flag_names_from_db_table(db, component_view_name(machine_name));

    Query query = db.send_query(detail::component_view_select(machine_name, flag_names_));
    RowBuffers row(flag_names_.size());
    bind_row(query, row);
    for (;;) {
        row.reset();
        if (!query.fetch_checked()) {
            break;
        }
        components_.push_back(row.to_component());
    }
    rebuild_name_index();
}

std::string ComponentList::read_from_db_with_backup(Database& db, const std::string& machine,
                                                    std::string backup_filename) {
    std::string err_msg;
    // A NUL in a name is the caller's mistake, not a database failure: no
    // backup can stand in for it.
    util::check_no_nul(machine, "Invalid facility name");
    util::check_no_nul(backup_filename, "Invalid file name");
    const std::string machine_name = standardize_facility_name(machine);
    if (backup_filename.empty()) {
        backup_filename = default_backup_file_name(machine_name);
    }
    try {
        read_from_db(db, machine_name);
    } catch (const Error& err) {
        err_msg = err.get_message();
        try {
            read_from_backup_file(backup_filename);
        } catch (const Error& e) {
            detail::throw_joined_errors(err, e);
        }
    }
    try {
        write_to_file(backup_filename);
    } catch (const Error& e) {
        err_msg = e.get_message();
    }
    return err_msg;
}

}  // namespace zel::sql
