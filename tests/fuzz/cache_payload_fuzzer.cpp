// The reader of cache file payloads on arbitrary bytes. It must refuse with
// PayloadError or return a result; and whatever it accepts, the writer must
// turn back into exactly the same bytes, so that no two payloads read as the
// same result and nothing in an accepted payload goes unchecked.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "cache_payload.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using zel::sql::fuzz::check;
    using zel::sql::fuzz::fail;
    const std::string_view payload(reinterpret_cast<const char*>(data), size);

    zel::sql::detail::CachedQuery cached;
    try {
        cached = zel::sql::detail::read_cache_payload(payload);
    } catch (const zel::sql::detail::PayloadError& e) {
        check(std::string(e.what()).find("format version") != std::string::npos ||
                  std::string(e.what()).rfind("is damaged or truncated: ", 0) == 0,
              std::string("unexpected refusal: ") + e.what());
        return 0;
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
    return 0;
}
