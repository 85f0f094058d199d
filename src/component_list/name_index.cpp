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
    const std::size_t table_size = table_size_for(components.size());
    index.assign(table_size + 1, 0);
    index[table_size] = components.size();
    const std::size_t mask = table_size - 1;
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

NameIndexAnswer find_in_name_index(const std::vector<std::uint64_t>& index,
                                   const std::vector<Component>& components,
                                   std::string_view name) {
    if (index.empty()) {
        return {not_in_index, 0};
    }
    const std::size_t table_size = index.size() - 1;
    const auto covered = static_cast<std::size_t>(index[table_size]);
    // components_ is public. A list shorter than the index covers lost
    // components without a rebuild, so a name missing from the index may sit
    // anywhere in it.
    bool fits = covered <= components.size();
    const std::size_t mask = table_size - 1;
    const std::uint64_t hash = folded_hash(name);
    for (std::size_t slot = static_cast<std::size_t>(hash) & mask;; slot = (slot + 1) & mask) {
        const std::uint64_t entry = index[slot];
        if (entry == 0) {
            return {not_in_index, fits ? covered : 0};
        }
        if (tag_in_slot(entry) != tag_of(hash)) {
            continue;
        }
        // The entry may point past the end or at a component renamed or moved
        // since the build. Only a name that still matches counts; anything
        // else goes on probing, and a miss then walks the whole list. (Two
        // names whose hashes share their upper 32 bits land here as well:
        // rare enough that the walk costs nothing on average.)
        const std::size_t position = position_in_slot(entry);
        if (position < components.size() && util::equals_nocase(components[position].name_, name)) {
            return {position, 0};
        }
        fits = false;
    }
}

}  // namespace zel::sql::detail
