#include "cache/cache_payload.h"

#include <cstring>
#include <exception>
#include <future>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "util/digest.h"
#include "util/string.h"
#include "zel/Error.h"

namespace zel::sql::detail {
namespace {

// Every integer is little-endian. A value's length field holds this marker
// for SQL NULL, so NULL and the empty text stay apart.
constexpr std::uint32_t null_marker = 0xFFFFFFFFu;
constexpr std::uint64_t max_text_length = null_marker - 1;

constexpr std::size_t version_size = 4;
constexpr std::size_t file_size_size = 8;
constexpr std::size_t length_size = 4;
constexpr std::size_t stored_at_size = 8;
constexpr std::size_t count_size = 8;
constexpr std::size_t digest_size = std::tuple_size_v<util::Sha3_224Digest>;

// The smallest payload: version, file size, two empty texts, stored_at, no
// columns, no rows, digest.
constexpr std::size_t min_payload_size = version_size + file_size_size + 2 * length_size +
                                         stored_at_size + length_size + count_size + digest_size;

// A payload body of at least this many bytes is hashed on a thread of its own
// while it is decoded; below it, a thread costs more than it saves.
constexpr std::size_t parallel_digest_size = std::size_t{1} << 20;

// Pieces smaller than this are gathered before they are hashed and written.
constexpr std::size_t chunk_size = std::size_t{64} << 10;

void append_le(std::string& out, std::uint64_t value, std::size_t size) {
    char bytes[8];
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFFu);
    }
    out.append(bytes, size);
}

std::uint64_t checked_length(std::size_t length, const char* what) {
    if (length > max_text_length) {
        throw Error(util::cat("Cannot cache ", what, " of ", length,
                              " bytes: longer than 4294967294 bytes"));
    }
    return length;
}

// Gathers the payload in chunks, hashes them and hands them on.
class PayloadWriter {
public:
    explicit PayloadWriter(const std::function<void(std::string_view)>& write) : write_(write) {
        buffer_.reserve(chunk_size);
    }

    void integer(std::uint64_t value, std::size_t size) {
        append_le(buffer_, value, size);
        flush_if_full();
    }

    void text(std::string_view bytes, const char* what) {
        integer(checked_length(bytes.size(), what), length_size);
        if (bytes.size() >= chunk_size) {
            flush();
            pass_on(bytes);
        } else {
            buffer_.append(bytes);
            flush_if_full();
        }
    }

    void value(const std::optional<std::string>& value) {
        if (value) {
            text(*value, "a value");
        } else {
            integer(null_marker, length_size);
        }
    }

    // Writes the digest of everything written so far.
    void finish() {
        flush();
        const util::Sha3_224Digest digest = digest_.finish();
        write_(std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()));
    }

private:
    void flush_if_full() {
        if (buffer_.size() >= chunk_size) {
            flush();
        }
    }

    void flush() {
        pass_on(buffer_);
        buffer_.clear();
    }

    void pass_on(std::string_view bytes) {
        if (bytes.empty()) {
            return;
        }
        digest_.update(util::ByteSpan(bytes));
        write_(bytes);
    }

    const std::function<void(std::string_view)>& write_;
    util::Sha3_224 digest_;
    std::string buffer_;
};

// Reads the fields of a payload front to back; every read is checked against
// the bytes that are left.
class PayloadReader {
public:
    explicit PayloadReader(std::string_view bytes) : bytes_(bytes) {}

    std::size_t left() const { return bytes_.size() - position_; }

    std::uint64_t integer(std::size_t size, const char* what) {
        need(size, what);
        const auto* in = reinterpret_cast<const unsigned char*>(bytes_.data() + position_);
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < size; ++i) {
            value |= std::uint64_t{in[i]} << (8 * i);
        }
        position_ += size;
        return value;
    }

    std::string_view bytes(std::uint64_t length, const char* what) {
        if (length > left()) {
            damaged(util::cat(what, " of ", length, " bytes runs past the end of the payload"));
        }
        const std::string_view piece = bytes_.substr(position_, static_cast<std::size_t>(length));
        position_ += static_cast<std::size_t>(length);
        return piece;
    }

    std::string text(const char* what) {
        const std::uint64_t length = integer(length_size, what);
        return std::string(bytes(length, what));
    }

    // Appends the next value to `row`, NULL as std::nullopt.
    void append_value(std::vector<std::optional<std::string>>& row) {
        const std::uint64_t length = integer(length_size, "a value");
        if (length == null_marker) {
            row.emplace_back();
            return;
        }
        const std::string_view value = bytes(length, "a value");
        row.emplace_back(std::in_place, value.data(), value.size());
    }

    [[noreturn]] static void damaged(const std::string& detail) {
        throw PayloadError("is damaged or truncated: " + detail, detail);
    }

private:
    void need(std::size_t size, const char* what) {
        if (size > left()) {
            damaged(util::cat(what, " runs past the end of the payload"));
        }
    }

    std::string_view bytes_;
    std::size_t position_ = 0;
};

std::size_t add_text_size(std::size_t total, std::size_t length) {
    return total + length_size + length;
}

// The size of the whole cache file that write_cache_payload produces.
std::uint64_t file_size_of(const std::string& sql, const std::string& data_source,
                           const QueryResult& result) {
    std::size_t size = cache_header_size + version_size + file_size_size;
    size = add_text_size(size, sql.size());
    size = add_text_size(size, data_source.size());
    size += stored_at_size + length_size;
    for (const std::string& name : result.column_names) {
        size = add_text_size(size, name.size());
    }
    size += count_size;
    for (const auto& row : result.rows) {
        for (const auto& value : row) {
            size = add_text_size(size, value ? value->size() : 0);
        }
    }
    return size + digest_size;
}

// Decodes the fields of a payload's body (the payload without its digest).
// Every field is checked against the bytes left: what a matching digest
// cannot rule out is a file made to look right.
CachedQuery decode_fields(std::string_view body) {
    PayloadReader fields(body);
    fields.bytes(version_size + file_size_size, "the file size");
    CachedQuery cached;
    cached.sql = fields.text("the SQL text");
    cached.data_source = fields.text("the data source name");
    cached.result.stored_at =
        static_cast<std::int64_t>(fields.integer(stored_at_size, "the time stored"));
    const std::uint64_t columns = fields.integer(length_size, "the column count");
    if (columns > fields.left() / length_size) {
        PayloadReader::damaged(util::cat(columns, " column names do not fit the payload"));
    }
    cached.result.column_names.reserve(static_cast<std::size_t>(columns));
    for (std::uint64_t i = 0; i < columns; ++i) {
        cached.result.column_names.push_back(fields.text("a column name"));
    }
    const std::uint64_t rows = fields.integer(count_size, "the row count");
    // Each value takes at least its length field: a row count that the bytes
    // left cannot hold is damage, not a reason to allocate.
    if (columns == 0 ? rows != 0 : rows > fields.left() / (columns * length_size)) {
        PayloadReader::damaged(util::cat(rows, " rows do not fit the payload"));
    }
    cached.result.rows.reserve(static_cast<std::size_t>(rows));
    for (std::uint64_t r = 0; r < rows; ++r) {
        // Built in place: a hit makes millions of values, and a temporary
        // per value or per row costs as much again as the value itself.
        std::vector<std::optional<std::string>>& row = cached.result.rows.emplace_back();
        row.reserve(static_cast<std::size_t>(columns));
        for (std::uint64_t c = 0; c < columns; ++c) {
            fields.append_value(row);
        }
    }
    if (fields.left() != 0) {
        PayloadReader::damaged(util::cat(fields.left(), " bytes follow the last row"));
    }
    return cached;
}

}  // namespace

void write_cache_payload(const std::string& sql, const std::string& data_source,
                         const QueryResult& result,
                         const std::function<void(std::string_view)>& write) {
    const std::size_t columns = result.column_names.size();
    for (std::size_t i = 0; i < result.rows.size(); ++i) {
        if (result.rows[i].size() != columns) {
            throw Error(util::cat("Cannot cache row ", i + 1, ": it has ", result.rows[i].size(),
                                  " values for ", columns, " columns"));
        }
    }
    PayloadWriter out(write);
    out.integer(cache_format_version, version_size);
    out.integer(file_size_of(sql, data_source, result), file_size_size);
    out.text(sql, "an SQL text");
    out.text(data_source, "a data source name");
    out.integer(static_cast<std::uint64_t>(result.stored_at), stored_at_size);
    out.integer(columns, length_size);
    for (const std::string& name : result.column_names) {
        out.text(name, "a column name");
    }
    out.integer(result.rows.size(), count_size);
    for (const auto& row : result.rows) {
        for (const auto& value : row) {
            out.value(value);
        }
    }
    out.finish();
}

CachedQuery read_cache_payload(std::string_view payload, DigestThread digest_thread) {
    const std::uint64_t file_size = cache_header_size + payload.size();
    if (payload.size() < version_size) {
        PayloadReader::damaged(util::cat("the file has ", file_size, " bytes"));
    }
    PayloadReader reader(payload);
    const std::uint64_t version = reader.integer(version_size, "the format version");
    if (version != cache_format_version) {
        const std::string reason =
            util::cat("unknown format version ", version, " (expected ", cache_format_version, ")");
        throw PayloadError("has " + reason, reason);
    }
    if (payload.size() < version_size + file_size_size) {
        PayloadReader::damaged(util::cat("the file has ", file_size, " bytes"));
    }
    const std::uint64_t recorded_size = reader.integer(file_size_size, "the file size");
    if (recorded_size != file_size) {
        PayloadReader::damaged(
            util::cat("the file has ", file_size, " bytes, its payload says ", recorded_size));
    }
    if (payload.size() < min_payload_size) {
        PayloadReader::damaged(util::cat("the file has ", file_size, " bytes"));
    }
    const std::string_view body = payload.substr(0, payload.size() - digest_size);
    const auto digest_matches = [body, payload](const util::Sha3_224Digest& digest) {
        return std::memcmp(digest.data(), payload.data() + body.size(), digest_size) == 0;
    };
    const auto check_then_decode = [&] {
        if (!digest_matches(util::sha3_224(util::ByteSpan(body)))) {
            PayloadReader::damaged("the check sum does not match");
        }
        return decode_fields(body);
    };
    if (digest_thread == DigestThread::caller || body.size() < parallel_digest_size) {
        return check_then_decode();
    }
    // A large copy: the digest is taken on a thread of its own while the
    // fields are decoded, since decoding never trusts the digest anyway.
    // Nothing decoded is returned, and no decoding error is reported, before
    // the digest has matched: a damaged file is always "the check sum does
    // not match".
    std::future<util::Sha3_224Digest> digest;
    try {
        digest =
            std::async(std::launch::async, [body] { return util::sha3_224(util::ByteSpan(body)); });
    } catch (const std::system_error&) {
        return check_then_decode();  // no thread to be had: one after the other
    }
    CachedQuery cached;
    std::exception_ptr decode_error;
    try {
        cached = decode_fields(body);
    } catch (...) {
        decode_error = std::current_exception();
    }
    if (!digest_matches(digest.get())) {
        PayloadReader::damaged("the check sum does not match");
    }
    if (decode_error) {
        std::rethrow_exception(decode_error);
    }
    return cached;
}

}  // namespace zel::sql::detail
