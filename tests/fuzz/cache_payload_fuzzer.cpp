// The reader of cache file payloads on arbitrary bytes. It must refuse with
// PayloadError or return a result; and whatever it accepts, the writer must
// turn back into exactly the same bytes, so that no two payloads read as the
// same result and nothing in an accepted payload goes unchecked.
//
// Random bytes hardly ever carry the right size and check sum, so each input
// is tried a second time as the fields behind them: with version 1, the right
// file size and the right digest, the field checks are what stands between
// the bytes and the result.
//
// Each input is also stored as a whole cache file and loaded the way
// read_with_cache loads it: from a file, nothing may come out but a result or
// a zel::Error, whatever the lengths inside claim. scripts/fuzz runs the
// target under a memory limit, so a length that makes the reader allocate
// beyond the file's size fails the run.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "cache/cache_file.h"
#include "cache/cache_header.h"
#include "cache/cache_payload.h"
#include "fuzz_check.h"
#include "test_support.h"
#include "util/digest.h"
#include "zel/Error.h"
#include "zel/sql/Cache.h"

namespace {

using zel::sql::test::fuzz::check;
using zel::sql::test::fuzz::fail;

std::string little_endian(std::uint64_t value, std::size_t size) {
    std::string out;
    for (std::size_t i = 0; i < size; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
    return out;
}

// `fields` behind a version 1 and a file size that fit, sealed with its digest.
std::string sealed(std::string_view fields) {
    const std::size_t file_size = 16 + 4 + 8 + fields.size() + 28;
    std::string body = little_endian(1, 4) + little_endian(file_size, 8) + std::string(fields);
    const zel::util::Sha3_224Digest digest = zel::util::sha3_224(zel::util::ByteSpan(body));
    return body + std::string(digest.begin(), digest.end());
}

void check_payload(std::string_view payload) {
    zel::sql::detail::CachedQuery cached;
    try {
        cached = zel::sql::detail::read_cache_payload(payload);
    } catch (const zel::sql::detail::PayloadError& e) {
        check(std::string(e.what()).find("format version") != std::string::npos ||
                  std::string(e.what()).rfind("is damaged or truncated: ", 0) == 0,
              std::string("unexpected refusal: ") + e.what());
        return;
    } catch (const std::exception& e) {
        fail(std::string("reading threw something other than PayloadError: ") + e.what());
    }

    std::string written;
    zel::sql::detail::write_cache_payload(cached.sql, cached.data_source, cached.result,
                                          [&](std::string_view bytes) { written.append(bytes); });
    check(written == payload, "an accepted payload is not what the writer makes of its result");
    for (const auto& row : cached.result.rows) {
        check(row.size() == cached.result.column_names.size(), "a row of the wrong width");
    }
}

// Loads `payload` behind the header from the cache file of a fixed query.
void check_file_load(std::string_view payload) {
    static const zel::sql::test::TempDir dir;
    zel::sql::Cache cache;
    cache.set_folder(dir.path());
    const std::string sql = "SELECT 1";
    zel::sql::test::write_file(cache.get_full_file_name(sql),
                               std::string("zel_sql_cache_00") + std::string(payload));
    try {
        zel::sql::detail::CacheFiles::load(cache, sql, "fuzz");
    } catch (const zel::Error&) {
        // refused: the expected outcome for almost every input
    } catch (const std::exception& e) {
        fail(std::string("loading a file threw something other than zel::Error: ") + e.what());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    check_payload(input);
    check_payload(sealed(input));
    check_file_load(sealed(input));
    return 0;
}
