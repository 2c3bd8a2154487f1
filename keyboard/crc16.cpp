#include "crc16.h"

#include <array>

namespace ZRN {

namespace {

// gCrcTables[0][b] is the CRC of byte b; gCrcTables[k][b] the CRC of b followed by
// k zero bytes, so that four bytes can be folded in at once.
using CrcTables = std::array<std::array<quint16, 256>, 4>;

constexpr CrcTables makeTables()
{
    CrcTables tables {};
    for (unsigned byte = 0; byte < 256; ++byte) {
        unsigned crc = byte << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000u) ? ((crc << 1) ^ 0x1021u) : (crc << 1);
        tables[0][byte] = static_cast<quint16>(crc & 0xFFFFu);
    }
    for (unsigned k = 1; k < 4; ++k) {
        for (unsigned byte = 0; byte < 256; ++byte) {
            const unsigned previous = tables[k - 1][byte];
            tables[k][byte] = static_cast<quint16>(((previous << 8) ^ tables[0][previous >> 8]) & 0xFFFFu);
        }
    }
    return tables;
}

constexpr CrcTables gCrcTables = makeTables();

} // namespace

quint16 crc16(const void* pData, qint32 count)
{
    const quint32 n = static_cast<quint32>(count) & 0xFFFFu;
    if (n == 0)
        return 0;
    const auto* pBytes = static_cast<const quint8*>(pData);
    const auto& t = gCrcTables;
    unsigned crc = 0;
    quint32 i = 0;
    for (; i + 4 <= n; i += 4) {
        const unsigned b0 = ((crc >> 8) ^ pBytes[i]) & 0xFFu;
        const unsigned b1 = (crc ^ pBytes[i + 1]) & 0xFFu;
        crc = t[3][b0] ^ t[2][b1] ^ t[1][pBytes[i + 2]] ^ t[0][pBytes[i + 3]];
    }
    for (; i < n; ++i)
        crc = ((crc << 8) ^ t[0][((crc >> 8) ^ pBytes[i]) & 0xFFu]) & 0xFFFFu;
    return static_cast<quint16>(crc);
}

} // namespace ZRN
