#pragma once
// Where a run keeps its history files, spelled out apart from the code that picks it:
// <base>/grafimo485/<key>/, the key being the 64-bit FNV-1a hash of the bytes of the
// working directory's canonical path, written as 16 lowercase hexadecimal digits.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace grafimo::test {

constexpr std::uint64_t fnv1a64(std::string_view bytes) noexcept
{
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (char c : bytes) {
        h ^= static_cast<unsigned char>(c);
        h *= 0x100000001b3ull;
    }
    return h;
}
// The published test vectors of the hash.
static_assert(fnv1a64("") == 0xcbf29ce484222325ull);
static_assert(fnv1a64("a") == 0xaf63dc4c8601ec8cull);
static_assert(fnv1a64("foobar") == 0x85944171f73967e8ull);

inline std::filesystem::path historyDirByRule(const std::filesystem::path& base,
                                              const std::filesystem::path& workingDir)
{
    std::uint64_t h = fnv1a64(std::filesystem::canonical(workingDir).string());
    std::string key(16, '0');
    for (int i = 15; i >= 0; --i, h >>= 4)
        key[static_cast<std::size_t>(i)] = "0123456789abcdef"[h & 0xF];
    return base / "grafimo485" / key / "";
}

} // namespace grafimo::test
