#ifndef ZEL_ERROR_H_
#define ZEL_ERROR_H_

/// @file
/// The exception type of libzel_sql. It lives in namespace zel, not zel::sql,
/// because the control system's other libraries throw the same type; this
/// header and its definition belong to libzel_sql (libzel_sql.so, CMake
/// package zel_sql::zel_sql), which exports it.

#include <stdexcept>
#include <string>

#include "zel/export.h"

namespace zel {

/// The exception type of the library: every failure that the library detects
/// is thrown as an Error carrying an English message.
class ZEL_SQL_API Error : public std::runtime_error {
public:
    /// An Error whose what() and get_message() return `message`.
    explicit Error(const std::string& message);
    /// An Error whose what() and get_message() return `message`.
    explicit Error(const char* message);

    /// The message, as a new string (the same text that what() returns).
    virtual std::string get_message() const;
};

}  // namespace zel

#endif  // ZEL_ERROR_H_
