#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// CRC-32 (the polynomial of zip and PNG, reflected, initial and final value 0xFFFFFFFF):
// Crc32::of("123456789", 9) is 0xCBF43926. Header-only, so the local data server's archive
// writer shares it.
namespace Crc32 {

namespace detail {
constexpr std::array<std::uint32_t, 256> makeTable()
{
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[i] = c;
    }
    return t;
}
inline constexpr std::array<std::uint32_t, 256> kTable = makeTable();
} // namespace detail

inline std::uint32_t of(const char *data, std::size_t size)
{
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i)
        crc = detail::kTable[(crc ^ static_cast<unsigned char>(data[i])) & 0xFFu] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

} // namespace Crc32
