#ifndef ZEL_SQL_DRIVERINFO_H_
#define ZEL_SQL_DRIVERINFO_H_

/// @file
/// What the ODBC driver of a data source says about itself and its server
/// (Database::get_driver_info).

#include <string>

namespace zel::sql {

/// The driver's and the server's names and versions, as the driver reports
/// them through SQLGetInfo, unchanged: their form depends on the driver.
struct DriverInfo {
    std::string driver_name;     ///< SQL_DRIVER_NAME: the driver's file, "psqlodbcw.so"
    std::string driver_version;  ///< SQL_DRIVER_VER: "16.00.0000"
    std::string odbc_version;    ///< SQL_DRIVER_ODBC_VER: the ODBC version it supports, "03.51"
    std::string dbms_name;       ///< SQL_DBMS_NAME: "PostgreSQL", "MariaDB", "SQLite"
    std::string dbms_version;    ///< SQL_DBMS_VER: the server's version
};

}  // namespace zel::sql

#endif  // ZEL_SQL_DRIVERINFO_H_
