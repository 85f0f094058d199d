#ifndef ZEL_EXPORT_H_
#define ZEL_EXPORT_H_

// The library is built with hidden symbol visibility; only what carries this
// mark is part of the exported interface of libzel_sql.
#if defined(__GNUC__)
#define ZEL_SQL_API __attribute__((visibility("default")))
#else
#define ZEL_SQL_API
#endif

#endif  // ZEL_EXPORT_H_
