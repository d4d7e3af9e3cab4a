#pragma once
// The shared per-test directory, and byte-for-byte file helpers for the file-format tests.
#include "grafimo_test/temp_dir.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace grafimo::testing {

using TempDir = grafimo::test::TempDir;

using Bytes = std::vector<std::uint8_t>;

inline Bytes readBytes(const std::filesystem::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeBytes(const std::filesystem::path& p, const Bytes& bytes)
{
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

} // namespace grafimo::testing
