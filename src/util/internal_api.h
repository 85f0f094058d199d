#ifndef ZEL_SQL_UTIL_INTERNAL_API_H_
#define ZEL_SQL_UTIL_INTERNAL_API_H_

// Marks an internal function that libzel_sql.so exports for the Python
// module, which links the shared library and must not carry a second copy of
// the library's code (see the top-level CMakeLists.txt). Such a function is
// declared in no installed header and is no part of the public interface: it
// may change with any release, and only the module built with the same
// release calls it.

#if defined(__GNUC__)
#define ZEL_SQL_INTERNAL_API __attribute__((visibility("default")))
#else
#define ZEL_SQL_INTERNAL_API
#endif

#endif  // ZEL_SQL_UTIL_INTERNAL_API_H_
