#include "cache_copy.h"

#include <openssl/evp.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <zel/sql.h>

namespace zel_sql_tool {

const char* state_name(CopyState state) {
    switch (state) {
        case CopyState::good:
            return "good";
        case CopyState::damaged:
            return "damaged";
        case CopyState::foreign:
            return "foreign";
        case CopyState::misplaced:
            return "misplaced";
        case CopyState::not_trusted:
            return "not trusted";
    }
    return "damaged";
}

namespace {

constexpr char magic[] = "zel_sql_cache_00";
constexpr std::size_t header_size = 16;
constexpr std::size_t digest_size = 28;
constexpr std::uint32_t null_length = 0xFFFFFFFFu;

// Why the library would refuse the file, in its own words.
struct Refusal : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::array<unsigned char, digest_size> sha3_224(const unsigned char* data, std::size_t size) {
    std::array<unsigned char, digest_size> digest{};
    unsigned int length = 0;
    if (EVP_Digest(data, size, digest.data(), &length, EVP_sha3_224(), nullptr) != 1 ||
        length != digest_size) {
        throw std::runtime_error("SHA3-224 is not available from libcrypto");
    }
    return digest;
}

// Reads the little-endian fields of the payload, each checked against the
// bytes that are left before anything is taken or allocated.
class Fields {
public:
    Fields(const std::string& bytes, std::size_t begin, std::size_t end)
        : bytes_(bytes), at_(begin), end_(end) {}

    std::uint64_t number(std::size_t width, const char* field) {
        need(width, field);
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < width; ++i) {
            value |= std::uint64_t{static_cast<unsigned char>(bytes_[at_ + i])} << (8 * i);
        }
        at_ += width;
        return value;
    }

    std::optional<std::string> value(const char* field) {
        const auto length = static_cast<std::uint32_t>(number(4, field));
        if (length == null_length) {
            return std::nullopt;
        }
        need(length, field);
        std::string text = bytes_.substr(at_, length);
        at_ += length;
        return text;
    }

    std::string text(const char* field) {
        std::optional<std::string> v = value(field);
        if (!v) {
            throw Refusal(std::string(field) + " is NULL");
        }
        return *v;
    }

    std::size_t left() const { return end_ - at_; }

private:
    void need(std::uint64_t count, const char* field) const {
        if (count > left()) {
            throw Refusal(std::string(field) + " runs past the end of the payload");
        }
    }

    const std::string& bytes_;
    std::size_t at_;
    std::size_t end_;
};

void decode(const std::string& bytes, CacheCopy& copy, bool with_rows) {
    if (bytes.size() < header_size) {
        throw Refusal("Cannot read header");
    }
    if (bytes.compare(0, header_size, magic) != 0) {
        throw Refusal("Invalid header \"" + bytes.substr(0, header_size) +
                      "\", expected \"zel_sql_cache_00\"");
    }
    Fields head(bytes, header_size, bytes.size());
    const std::uint64_t version = head.number(4, "the format version");
    if (version != 1) {
        throw Refusal("unknown format version " + std::to_string(version) + " (expected 1)");
    }
    const std::uint64_t recorded = head.number(8, "the file size");
    if (recorded != bytes.size()) {
        throw Refusal("the file has " + std::to_string(bytes.size()) + " bytes, its payload says " +
                      std::to_string(recorded));
    }
    if (bytes.size() < header_size + 12 + digest_size) {
        throw Refusal("the check sum runs past the end of the payload");
    }
    const std::size_t digest_at = bytes.size() - digest_size;
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto digest = sha3_224(data + header_size, digest_at - header_size);
    if (std::memcmp(digest.data(), data + digest_at, digest_size) != 0) {
        throw Refusal("the check sum does not match");
    }

    Fields fields(bytes, header_size + 12, digest_at);
    copy.sql = fields.text("the SQL text");
    copy.data_source = fields.text("the data source");
    copy.stored_at = static_cast<std::int64_t>(fields.number(8, "stored_at"));
    const std::uint64_t columns = fields.number(4, "the column count");
    for (std::uint64_t i = 0; i < columns; ++i) {
        copy.column_names.push_back(fields.text("a column name"));
    }
    copy.row_count = fields.number(8, "the row count");
    // Each value takes at least its 4 length bytes.
    if (columns > 0 && copy.row_count > fields.left() / 4 / columns) {
        throw Refusal(std::to_string(copy.row_count) + " rows do not fit the payload");
    }
    for (std::uint64_t r = 0; r < (columns > 0 ? copy.row_count : 0); ++r) {
        std::vector<std::optional<std::string>> row;
        for (std::uint64_t c = 0; c < columns; ++c) {
            row.push_back(fields.value("a value"));
        }
        if (with_rows) {
            copy.rows.push_back(std::move(row));
        }
    }
    if (fields.left() != 0) {
        throw Refusal(std::to_string(fields.left()) + " bytes follow the last row");
    }
    copy.decoded = true;
}

}  // namespace

CacheCopy read_cache_copy(const std::string& file, const std::string& expected_data_source,
                          bool with_rows) {
    CacheCopy copy;
    copy.file = file;
    // First the library's trust rule, which also opens without blocking: a
    // FIFO or a planted file is named, never read.
    try {
        copy.reason = zel::sql::why_untrusted(file);
    } catch (const zel::Error& e) {
        copy.reason = e.get_message();
        return copy;
    }
    if (!copy.reason.empty()) {
        copy.state = CopyState::not_trusted;
        return copy;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        copy.reason = "Cannot open input file \"" + file + "\"";
        return copy;
    }
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        copy.reason = "Error while reading \"" + file + "\"";
        return copy;
    }
    copy.size = bytes.size();
    try {
        decode(bytes, copy, with_rows);
    } catch (const Refusal& refusal) {
        copy.decoded = false;
        copy.rows.clear();
        copy.reason = refusal.what();
        return copy;
    }
    // The folder does not matter here, only the name within it.
    zel::sql::Cache naming;
    const std::string expected_name =
        std::filesystem::path(naming.get_full_file_name(copy.sql)).filename().string();
    if (std::filesystem::path(file).filename().string() != expected_name) {
        copy.state = CopyState::misplaced;
        copy.reason = "its name is not that of its SQL text (" + expected_name + ")";
    } else if (!expected_data_source.empty() && copy.data_source != expected_data_source) {
        copy.state = CopyState::foreign;
        copy.reason = "stored through data source \"" + copy.data_source + "\", not \"" +
                      expected_data_source + "\"";
    } else {
        copy.state = CopyState::good;
    }
    return copy;
}

}  // namespace zel_sql_tool
