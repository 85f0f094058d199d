// Conversion of scripted values to the C types of the caller's buffers, and
// the writing of one piece of a value into a buffer.

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "fake_odbc_state.h"

namespace zel::sql::test::fake_odbc::detail {
namespace {

Diagnostic restricted_type() {
    return fake_diagnostic("07006", "Restricted data type attribute violation");
}
Diagnostic out_of_range() {
    return fake_diagnostic("22003", "Numeric value out of range");
}
Diagnostic invalid_character_value() {
    return fake_diagnostic("22018", "Invalid character value for cast");
}

template <typename T>
std::string native_image(T value) {
    std::string bytes(sizeof(T), '\0');
    std::memcpy(bytes.data(), &value, sizeof(T));
    return bytes;
}

// The value as a number, for the numeric C types: integers stay exact,
// character data is parsed like a driver does.
struct Number {
    bool is_integer = false;
    long long integer = 0;
    double real = 0.0;
};

std::optional<Diagnostic> to_number(const Value& value, Number& number) {
    switch (value.kind) {
        case Value::Kind::integer:
            number.is_integer = true;
            number.integer = value.integer;
            return std::nullopt;
        case Value::Kind::real:
            number.real = value.real;
            return std::nullopt;
        case Value::Kind::text: {
            const std::string t = value.bytes;
            const char* begin = t.c_str();
            char* end = nullptr;
            errno = 0;
            const long long as_integer = std::strtoll(begin, &end, 10);
            auto only_blanks_after = [](const char* p) {
                while (*p == ' ') {
                    ++p;
                }
                return *p == '\0';
            };
            if (end != begin && errno == 0 && only_blanks_after(end) &&
                t.find('\0') == std::string::npos) {
                number.is_integer = true;
                number.integer = as_integer;
                return std::nullopt;
            }
            const double as_real = std::strtod(begin, &end);
            if (end != begin && only_blanks_after(end) && t.find('\0') == std::string::npos) {
                number.real = as_real;
                return std::nullopt;
            }
            return invalid_character_value();
        }
        case Value::Kind::binary:
        case Value::Kind::null:
            break;
    }
    return restricted_type();
}

template <typename T>
std::optional<Diagnostic> to_integer_image(const Number& number, Image& image) {
    if (number.is_integer) {
        const long long v = number.integer;
        const bool fits =
            std::is_signed_v<T>
                ? v >= static_cast<long long>(std::numeric_limits<T>::min()) &&
                      v <= static_cast<long long>(std::numeric_limits<T>::max())
                : v >= 0 && static_cast<unsigned long long>(v) <=
                                static_cast<unsigned long long>(std::numeric_limits<T>::max());
        if (!fits) {
            return out_of_range();
        }
        image.bytes = native_image(static_cast<T>(v));
        return std::nullopt;
    }
    const double truncated = std::trunc(number.real);
    if (!std::isfinite(truncated) ||
        truncated < static_cast<double>(std::numeric_limits<T>::min()) ||
        truncated > static_cast<double>(std::numeric_limits<T>::max())) {
        return out_of_range();
    }
    image.fractional_truncation = truncated != number.real;
    image.bytes = native_image(static_cast<T>(truncated));
    return std::nullopt;
}

template <typename T>
std::optional<Diagnostic> to_floating_image(const Number& number, Image& image) {
    image.bytes = native_image(number.is_integer ? static_cast<T>(number.integer)
                                                 : static_cast<T>(number.real));
    return std::nullopt;
}

std::string as_decimal_text(const Value& value) {
    if (value.kind == Value::Kind::integer) {
        return std::to_string(value.integer);
    }
    char text[64];
    std::snprintf(text, sizeof(text), "%.15g", value.real);
    return text;
}

std::string as_hex_text(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string hex;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        hex.push_back(digits[byte >> 4]);
        hex.push_back(digits[byte & 0x0f]);
    }
    return hex;
}

}  // namespace

bool is_known_c_type(SQLSMALLINT c_type) {
    return c_type == SQL_C_CHAR || c_type == SQL_C_BINARY || c_type == SQL_C_WCHAR ||
           fixed_size(c_type) != 0;
}

std::size_t fixed_size(SQLSMALLINT c_type) {
    switch (c_type) {
        case SQL_C_DOUBLE:
            return sizeof(SQLDOUBLE);
        case SQL_C_FLOAT:
            return sizeof(SQLREAL);
        case SQL_C_SLONG:
        case SQL_C_LONG:
        case SQL_C_ULONG:
            return sizeof(SQLINTEGER);
        case SQL_C_SSHORT:
        case SQL_C_SHORT:
        case SQL_C_USHORT:
            return sizeof(SQLSMALLINT);
        case SQL_C_SBIGINT:
        case SQL_C_UBIGINT:
            return sizeof(long long);
        case SQL_C_STINYINT:
        case SQL_C_TINYINT:
        case SQL_C_UTINYINT:
        case SQL_C_BIT:
            return 1;
        default:
            return 0;
    }
}

std::optional<Diagnostic> to_image(const Value& value, SQLSMALLINT c_type, Image& image) {
    image = Image{};
    if (value.conversion_error) {
        return value.conversion_error;
    }
    if (c_type == SQL_C_CHAR) {
        image.variable = true;
        image.is_char = true;
        switch (value.kind) {
            case Value::Kind::text:
                image.bytes = value.bytes;
                return std::nullopt;
            case Value::Kind::binary:
                image.bytes = as_hex_text(value.bytes);
                return std::nullopt;
            case Value::Kind::real:
            case Value::Kind::integer:
                image.bytes = as_decimal_text(value);
                return std::nullopt;
            case Value::Kind::null:
                break;
        }
        return restricted_type();
    }
    if (c_type == SQL_C_BINARY) {
        image.variable = true;
        switch (value.kind) {
            case Value::Kind::text:
            case Value::Kind::binary:
                image.bytes = value.bytes;
                return std::nullopt;
            case Value::Kind::real:
                image.bytes = native_image(value.real);
                return std::nullopt;
            case Value::Kind::integer:
                image.bytes = native_image(value.integer);
                return std::nullopt;
            case Value::Kind::null:
                break;
        }
        return restricted_type();
    }

    Number number;
    if (auto error = to_number(value, number)) {
        return error;
    }
    switch (c_type) {
        case SQL_C_DOUBLE:
            return to_floating_image<double>(number, image);
        case SQL_C_FLOAT:
            return to_floating_image<float>(number, image);
        case SQL_C_SLONG:
        case SQL_C_LONG:
            return to_integer_image<std::int32_t>(number, image);
        case SQL_C_ULONG:
            return to_integer_image<std::uint32_t>(number, image);
        case SQL_C_SSHORT:
        case SQL_C_SHORT:
            return to_integer_image<std::int16_t>(number, image);
        case SQL_C_USHORT:
            return to_integer_image<std::uint16_t>(number, image);
        case SQL_C_SBIGINT:
            return to_integer_image<std::int64_t>(number, image);
        case SQL_C_UBIGINT:
            return to_integer_image<std::uint64_t>(number, image);
        case SQL_C_STINYINT:
        case SQL_C_TINYINT:
            return to_integer_image<std::int8_t>(number, image);
        case SQL_C_UTINYINT:
            return to_integer_image<std::uint8_t>(number, image);
        case SQL_C_BIT: {
            const double v = number.is_integer ? static_cast<double>(number.integer) : number.real;
            if (v < 0.0 || v >= 2.0) {
                return out_of_range();
            }
            image.fractional_truncation = v != 0.0 && v != 1.0;
            image.bytes = native_image(static_cast<unsigned char>(v >= 1.0 ? 1 : 0));
            return std::nullopt;
        }
        default:
            return restricted_type();
    }
}

Piece write_piece(const Image& image, std::size_t offset, bool no_total, bool unterminated,
                  SQLPOINTER buffer, SQLLEN buffer_length) {
    Piece piece;
    auto* out = static_cast<char*>(buffer);
    if (!image.variable) {
        // A fixed-size value ignores the buffer length, as in ODBC.
        if (out != nullptr) {
            std::memcpy(out, image.bytes.data(), image.bytes.size());
            piece.written = image.bytes;
        }
        piece.taken = image.bytes.size();
        piece.indicator = static_cast<SQLLEN>(image.bytes.size());
        return piece;
    }
    const std::size_t remaining = image.bytes.size() - offset;
    // A text that does not fit fills an unterminated buffer to the last byte.
    const bool terminated =
        image.is_char && !(unterminated && remaining >= static_cast<std::size_t>(buffer_length));
    std::size_t room = 0;
    if (out != nullptr && buffer_length > 0) {
        room = static_cast<std::size_t>(buffer_length) - (terminated ? 1 : 0);
    }
    const std::size_t n = remaining < room ? remaining : room;
    if (out != nullptr && buffer_length > 0) {
        std::memcpy(out, image.bytes.data() + offset, n);
        piece.written.assign(image.bytes, offset, n);
        if (terminated) {
            out[n] = '\0';
            piece.written.push_back('\0');
        }
    }
    piece.taken = n;
    piece.truncated = n < remaining;
    piece.indicator = (no_total && piece.truncated) ? SQL_NO_TOTAL : static_cast<SQLLEN>(remaining);
    return piece;
}

}  // namespace zel::sql::test::fake_odbc::detail
