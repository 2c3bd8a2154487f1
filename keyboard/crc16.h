#ifndef ZRN_CRC16_H
#define ZRN_CRC16_H

#include <QtGlobal>

namespace ZRN {

// CRC-16/XMODEM (poly 0x1021, init 0, no reflection, no final XOR) over the first
// (count & 0xFFFF) bytes. The 16-bit count limit is part of the update-file format
// and of the keyboard protocol: a count of 65536 covers nothing, -1 covers 65535
// bytes. A reduced count of 0 returns 0 without touching pData. Never allocates.
quint16 crc16(const void* pData, qint32 count);

} // namespace ZRN

#endif
