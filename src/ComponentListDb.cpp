// Loading a facility's component list from its database view, with the text
// file as backup copy.

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "util/string.h"
#include "zel/Error.h"
#include "zel/sql/ComponentList.h"
#include "zel/sql/Database.h"
#include "zel/sql/DatabaseError.h"
#include "zel/sql/functions.h"

namespace zel::sql {
namespace {

constexpr const char* component_owner = "TAVIK";
constexpr std::string_view flag_prefix = "FLAG_";
constexpr int idx_first_flag = 14;
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

// One row of the component view as the driver delivers it.
struct RowBuffers {
    char name_str[text_buffer_len];
    char real_name_str[text_buffer_len];
    char name2_str[text_buffer_len];
    char section_str[text_buffer_len];
    char group_str[text_buffer_len];
    char class_str[text_buffer_len];
    char type_str[text_buffer_len];
    char friendly_name_str[text_buffer_len];
    char link_name_str[text_buffer_len];
    double x;
    double y;
    double z;
    double s;
    std::vector<unsigned short> flags;

    // The texts in SELECT order (columns 1 to 8, then 13).
    char* texts[9] = {name_str,  real_name_str, name2_str,         section_str,  group_str,
                      class_str, type_str,      friendly_name_str, link_name_str};

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
        x = y = z = s = 0.0;
        std::fill(flags.begin(), flags.end(), static_cast<unsigned short>(0));
    }

    Component to_component() const {
        Component c;
        c.name_ = text_of(name_str);
        c.real_name_ = text_of(real_name_str);
        c.name2_ = text_of(name2_str);
        c.section_ = text_of(section_str);
        c.group_ = text_of(group_str);
        c.class_ = text_of(class_str);
        c.type_ = text_of(type_str);
        c.friendly_name_ = text_of(friendly_name_str);
        c.link_name_ = text_of(link_name_str);
        c.x_ = x;
        c.y_ = y;
        c.z_ = z;
        c.s_ = s;
        c.flags_.reserve(flags.size());
        for (const unsigned short flag : flags) {
            c.flags_.push_back(flag != 0);
        }
        return c;
    }
};

void bind_row(Query& query, RowBuffers& row) {
    for (int column = 1; column <= 8; ++column) {
        query.bind_column(column, row.texts[column - 1], text_buffer_len);
    }
    query.bind_column(9, &row.x, 1);
    query.bind_column(10, &row.y, 1);
    query.bind_column(11, &row.z, 1);
    query.bind_column(12, &row.s, 1);
    query.bind_column(13, row.link_name_str, text_buffer_len);
    for (std::size_t i = 0; i < row.flags.size(); ++i) {
        query.bind_column(idx_first_flag + static_cast<int>(i), &row.flags[i], 1);
    }
}

}  // namespace

void ComponentList::read_flag_names_from_db_table(Database& db, const std::string& table) {
    flag_names_.clear();
    for (const std::string& col_name : db.read_column_names(table, component_owner)) {
        const std::string upper = util::uppercase_ascii(col_name);
        if (util::starts_with(upper, flag_prefix)) {
            flag_names_.push_back(upper.substr(flag_prefix.size()));
        }
    }
}

void ComponentList::read_from_db(Database& db, const std::string& machine) {
    const std::string machine_name = standardize_facility_name(machine);
    clear();
    if (!is_plain_identifier(machine_name)) {
        throw Error(util::cat("Invalid facility name: \"", machine_name, "\""));
    }
    const std::string table_name = util::cat(machine_name, "_VIEW_COMPONENTS");
    read_flag_names_from_db_table(db, table_name);

    std::string sql_str =
        "SELECT NAME, REAL_NAME, NAME2, SECTION, GROUP_, CLASS, TYPE_, FRIENDLY_NAME, X, Y, Z, S, "
        "LINK_NAME";
    for (const std::string& flag : flag_names_) {
        sql_str += util::cat(", ", flag_prefix, flag);
    }
    sql_str += util::cat(" FROM ", component_owner, ".", table_name);

    Query query = db.send_query(sql_str);
    RowBuffers row(flag_names_.size());
    bind_row(query, row);
    for (;;) {
        row.reset();
        if (!query.fetch_checked()) {
            break;
        }
        components_.push_back(row.to_component());
    }
}

std::string ComponentList::read_from_db_with_backup(Database& db, const std::string& machine,
                                                    std::string backup_filename) {
    std::string err_msg;
    const std::string machine_name = standardize_facility_name(machine);
    if (backup_filename.empty()) {
        backup_filename = util::cat("db_component_list_", machine_name, ".txt");
    }
    try {
        read_from_db(db, machine_name);
    } catch (const Error& err) {
        err_msg = err.get_message();
        try {
            read_from_file(backup_filename);
        } catch (const Error& e) {
            const std::string joined = util::cat(err_msg, "; ", e.get_message());
            // The joined message still carries the driver's diagnostics, and
            // with them their SQLSTATE.
            if (const auto* db_error = dynamic_cast<const DatabaseError*>(&err)) {
                throw DatabaseError(joined, db_error->get_sqlstate(), db_error->get_native_error());
            }
            throw Error(joined);
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
