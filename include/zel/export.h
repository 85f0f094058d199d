#ifndef ZEL_EXPORT_H_
#define ZEL_EXPORT_H_

/// @file
/// Part of libzel_sql (headers under zel/, library libzel_sql.so, CMake package
/// zel_sql::zel_sql). The library is built with hidden symbol visibility; only
/// what carries ZEL_SQL_API is part of its exported interface.
#if defined(__GNUC__)
#define ZEL_SQL_API __attribute__((visibility("default")))
#else
#define ZEL_SQL_API
#endif

#endif  // ZEL_EXPORT_H_
