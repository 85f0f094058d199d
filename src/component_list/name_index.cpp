#include "component_list/name_index.h"

#include <limits>

#include "util/string.h"

namespace zel::sql::detail {
namespace {

// FNV-1a over the upper-cased bytes, then the splitmix64 finisher, so that
// both the low bits (the slot) and the high bits (the stored tag) are mixed.
std::uint64_t folded_hash(std::string_view name) noexcept {
    std::uint64_t h = 0xcbf29ce484222325u;
    for (const char c : name) {
        h ^= static_cast<unsigned char>(util::uppercase_ascii(c));
        h *= 0x100000001b3u;
    }
    h ^= h >> 30;
    h *= 0xbf58476d1ce4e5b9u;
    h ^= h >> 27;
    h *= 0x94d049bb133111ebu;
    h ^= h >> 31;
    return h;
}

constexpr std::uint64_t tag_of(std::uint64_t hash) noexcept {
    return hash >> 32;
}

constexpr std::uint64_t tag_in_slot(std::uint64_t slot) noexcept {
    return slot >> 32;
}

constexpr std::size_t position_in_slot(std::uint64_t slot) noexcept {
    return static_cast<std::size_t>(slot & 0xffffffffu) - 1;
}

// At least two slots per component keeps linear probes short; a power of two
// makes the slot a mask of the hash. 16 to 32 bytes per component.
std::size_t table_size_for(std::size_t components) {
    std::size_t size = 16;
    while (size < 2 * components) {
        size *= 2;
    }
    return size;
}

}  // namespace

std::vector<std::uint64_t> build_name_index(const std::vector<Component>& components) {
    std::vector<std::uint64_t> index;
    // Position + 1 must fit in 32 bits next to the tag.
    if (components.empty() || components.size() >= std::numeric_limits<std::uint32_t>::max()) {
        return index;
    }
    index.assign(table_size_for(components.size()), 0);
    const std::size_t mask = index.size() - 1;
    for (std::size_t position = 0; position < components.size(); ++position) {
        const std::string& name = components[position].name_;
        const std::uint64_t hash = folded_hash(name);
        std::size_t slot = static_cast<std::size_t>(hash) & mask;
        for (;; slot = (slot + 1) & mask) {
            const std::uint64_t entry = index[slot];
            if (entry == 0) {
                index[slot] = (tag_of(hash) << 32) | (position + 1);
                break;
            }
            // A later component with the same folded name: the first one stays.
            if (tag_in_slot(entry) == tag_of(hash) &&
                util::equals_nocase(components[position_in_slot(entry)].name_, name)) {
                break;
            }
        }
    }
    return index;
}

std::size_t find_in_name_index(const std::vector<std::uint64_t>& index,
                               const std::vector<Component>& components, std::string_view name) {
    if (index.empty()) {
        return not_in_index;
    }
    const std::size_t mask = index.size() - 1;
    const std::uint64_t hash = folded_hash(name);
    for (std::size_t slot = static_cast<std::size_t>(hash) & mask;; slot = (slot + 1) & mask) {
        const std::uint64_t entry = index[slot];
        if (entry == 0) {
            return not_in_index;
        }
        if (tag_in_slot(entry) != tag_of(hash)) {
            continue;
        }
        // components_ is public: the entry may point past the end or at a
        // component renamed since the build. Only a name that still matches
        // counts; anything else goes on probing and ends with the caller's scan.
        const std::size_t position = position_in_slot(entry);
        if (position < components.size() && util::equals_nocase(components[position].name_, name)) {
            return position;
        }
    }
}

}  // namespace zel::sql::detail
