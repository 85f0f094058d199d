#ifndef ZEL_SQL_PROCEDURE_H_
#define ZEL_SQL_PROCEDURE_H_

/// @file
/// An SQL statement, as a rule a stored-procedure call, with bound parameters.

#include <sql.h>

#include <map>
#include <memory>
#include <string>

#include "zel/export.h"
#include "zel/sql/handles.h"
#include "zel/sql/types.h"

namespace zel::sql {

/// An SQL statement whose parameters are bound to caller buffers and which is
/// executed, any number of times, by exec(). Nothing is sent to the database
/// before the first exec().
///
/// Usually made by Database::get_procedure(). It knows the connection it was
/// made on: see Database.h for when a Procedure must be destroyed and for the
/// one case in which it turns inert, a connection given up after a timeout.
/// Bound buffers belong to the caller and must stay alive, at the same
/// address, until the last exec().
class ZEL_SQL_API Procedure {
public:
    /// What is known of a parameter bound through this Procedure.
    struct ParamInfo {
        CDataType datatype;  ///< C type of the bound buffer
        SQLPOINTER buf;      ///< the caller's buffer
        SQLLEN buf_len;      ///< the buffer's length in bytes
        SQLLEN bytes_read;   ///< the length/indicator; buf_len until executed
    };

    /// Takes over the complete SQL text `procedure` and allocates a statement
    /// on `connection_handle`. Executes nothing.
    /// @throws zel::Error "SQL connection handle is not allocated" or "Unable to
    /// allocate SQL statement handle".
    Procedure(std::string procedure, const ConnectionHandle& connection_handle);
    Procedure(const Procedure&) = delete;
    Procedure& operator=(const Procedure&) = delete;
    /// Takes over the statement, the text and the parameter records of
    /// `other`, which owns nothing afterwards; bound buffers stay bound.
    Procedure(Procedure&& other) noexcept;
    /// Frees the statement held so far; self-assignment changes nothing.
    Procedure& operator=(Procedure&& other) noexcept;
    /// Cancels the statement (SQLCancel) and frees it; makes no ODBC call when
    /// its connection was given up (see Database.h).
    ~Procedure();

    /// Binds parameter `param_idx` (1-based, in the order of the markers in the
    /// text). Its length/indicator is set to `buf_len`, so an input value is
    /// sent as `buf_len` bytes and never as NULL.
    /// @throws zel::Error "Unable to bind SQL parameter <n>: <diagnostics>".
    void bind_parameter(int param_idx, ParameterType param_type, CDataType c_data_type,
                        SqlDataType sql_data_type, SQLULEN sql_data_type_length_or_precision,
                        SQLSMALLINT decimal_digits, SQLPOINTER buf, SQLLEN buf_len);

    /// Executes the text verbatim with the parameters as bound.
    /// SQL_NEED_DATA counts as success.
    /// @throws zel::Error "Error executing '<text>': <diagnostics>".
    void exec();

    /// Length of the value of parameter `param_idx`; 0 for NULL.
    /// @throws std::out_of_range when the parameter was never bound.
    unsigned long get_bytes_read(int param_idx) const;

    /// True when output parameter `param_idx` came back NULL.
    /// @throws std::out_of_range when the parameter was never bound.
    bool is_null(int param_idx) const;

private:
    StatementHandle statement_;
    // Whether the statement's connection was given up after a timeout: then
    // this Procedure touches its statement no more.
    std::shared_ptr<detail::ConnectionState> connection_state_;
    std::string procedure_;
    // Node-based on purpose: the driver keeps the address of each bytes_read.
    std::map<int, ParamInfo> param_info_;
};

}  // namespace zel::sql

#endif  // ZEL_SQL_PROCEDURE_H_
