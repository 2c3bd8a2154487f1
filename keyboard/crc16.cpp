#include "crc16.h"

#include <array>

namespace ZRN {

namespace {

constexpr std::array<quint16, 256> makeTable()
{
    std::array<quint16, 256> table {};
    for (unsigned byte = 0; byte < 256; ++byte) {
        unsigned crc = byte << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000u) ? ((crc << 1) ^ 0x1021u) : (crc << 1);
        table[byte] = static_cast<quint16>(crc & 0xFFFFu);
    }
    return table;
}

constexpr std::array<quint16, 256> gCrcTable = makeTable();

} // namespace

quint16 crc16(const void* pData, qint32 count)
{
    const quint32 n = static_cast<quint32>(count) & 0xFFFFu;
    if (n == 0)
        return 0;
    const auto* pBytes = static_cast<const quint8*>(pData);
    quint16 crc = 0;
    for (quint32 i = 0; i < n; ++i)
        crc = static_cast<quint16>((crc << 8) ^ gCrcTable[((crc >> 8) ^ pBytes[i]) & 0xFFu]);
    return crc;
}

} // namespace ZRN
