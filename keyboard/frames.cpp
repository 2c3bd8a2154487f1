#include "frames.h"

#include "crc16.h"

#include <cstring>

namespace ZRN {

namespace {

constexpr quint8 START_BYTE = 0x40;

// Wire bytes of FrameType codes 1..7.
constexpr quint8 gWireTypes[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x7F, 0x7E};

quint8 byteAt(const char* pBuffer, int index)
{
    return static_cast<quint8>(pBuffer[index]);
}

int putLe32(char* pOut, qint32 value)
{
    const quint32 v = static_cast<quint32>(value);
    const char bytes[4] = {char(v & 0xFF), char((v >> 8) & 0xFF), char((v >> 16) & 0xFF),
                           char((v >> 24) & 0xFF)};
    return putBytes(pOut, bytes, 4);
}

int buildHeaderOnly(char* pBuffer, int type)
{
    if (pBuffer == nullptr)
        return 0;
    int pos = putStart(pBuffer);
    pos += putType(pBuffer + pos, type);
    pos += putLength(pBuffer + pos, 0);
    pos += putCrc(pBuffer + pos, pBuffer, pos);
    return pos;
}

} // namespace

int putStart(char* pOut)
{
    if (pOut == nullptr)
        return 0;
    *pOut = char(START_BYTE);
    return 1;
}

int putType(char* pOut, int type)
{
    if (pOut == nullptr || type < GetInfo || type > Nack)
        return 0;
    *pOut = char(gWireTypes[type - 1]);
    return 1;
}

int putLength(char* pOut, qint32 value)
{
    if (pOut == nullptr)
        return 0;
    pOut[0] = char(value & 0xFF);
    pOut[1] = char((value >> 8) & 0xFF);
    return 2;
}

int putBytes(char* pOut, const void* pSource, int n)
{
    if (pOut == nullptr || pSource == nullptr || n <= 0)
        return 0;
    std::memcpy(pOut, pSource, static_cast<size_t>(n));
    return n;
}

int putCrc(char* pOut, const char* pFrameStart, int n)
{
    if (pOut == nullptr || pFrameStart == nullptr)
        return 0;
    const quint16 crc = crc16(pFrameStart, n);
    pOut[0] = char(crc & 0xFF);
    pOut[1] = char(crc >> 8);
    return 2;
}

int buildGetInfoRequest(char* pBuffer)
{
    return buildHeaderOnly(pBuffer, GetInfo);
}

int buildEraseRequest(char* pBuffer)
{
    return buildHeaderOnly(pBuffer, Erase);
}

int buildRunRequest(char* pBuffer, qint32 argument)
{
    if (pBuffer == nullptr)
        return 0;
    int pos = putStart(pBuffer);
    pos += putType(pBuffer + pos, Run);
    pos += putLength(pBuffer + pos, 4);
    pos += putLe32(pBuffer + pos, argument);
    pos += putCrc(pBuffer + pos, pBuffer, pos);
    return pos;
}

int buildCrcRequest(char* pBuffer, qint32 address, qint32 count)
{
    if (pBuffer == nullptr)
        return 0;
    int pos = putStart(pBuffer);
    pos += putType(pBuffer + pos, Crc);
    pos += putLength(pBuffer + pos, 8);
    pos += putLe32(pBuffer + pos, address);
    pos += putLe32(pBuffer + pos, count);
    pos += putCrc(pBuffer + pos, pBuffer, pos);
    return pos;
}

int buildWriteRequest(char* pBuffer, qint32 address, qint16 count, const char* pData)
{
    // A negative count has no frame; a positive one needs its data.
    if (pBuffer == nullptr || count < 0 || (count > 0 && pData == nullptr))
        return 0;
    int pos = putStart(pBuffer);
    pos += putType(pBuffer + pos, Write);
    pos += putLength(pBuffer + pos, qint32(count) + 6);
    pos += putLe32(pBuffer + pos, address);
    const char countBytes[2] = {char(count & 0xFF), char((count >> 8) & 0xFF)};
    pos += putBytes(pBuffer + pos, countBytes, 2);
    pos += putBytes(pBuffer + pos, pData, count);
    pos += putCrc(pBuffer + pos, pBuffer, pos);
    return pos;
}

int findFrame(const char* pBuffer, int size)
{
    if (pBuffer == nullptr || size <= 0)
        return -1;
    // The first 0x40 counts, unless a 0x00 comes before it.
    int off = -1;
    for (int i = 0; i < size; ++i) {
        const quint8 b = byteAt(pBuffer, i);
        if (b == 0x00)
            return -1;
        if (b == START_BYTE) {
            off = i;
            break;
        }
    }
    if (off < 0 || size - off < FRAME_HEADER_SIZE)
        return -1;
    const int n = byteAt(pBuffer, off + 2) | (byteAt(pBuffer, off + 3) << 8);
    if (size - off < FRAME_HEADER_SIZE + n + FRAME_CRC_SIZE)
        return -1;
    const int received = byteAt(pBuffer, off + 4 + n) | (byteAt(pBuffer, off + 5 + n) << 8);
    const int computed = crc16(pBuffer + off, n + FRAME_HEADER_SIZE);
    const int swapped = ((received & 0xFF) << 8) | (received >> 8);
    if (computed == received || computed == swapped)
        return off;
    return -1;
}

int frameType(const char* pBuffer, int offset)
{
    if (pBuffer == nullptr || offset < 0)
        return FrameUnknown;
    const quint8 wire = byteAt(pBuffer, offset + 1);
    for (int code = GetInfo; code <= Nack; ++code) {
        if (gWireTypes[code - 1] == wire)
            return code;
    }
    return FrameUnknown;
}

int framePayloadLength(const char* pBuffer, int offset)
{
    if (pBuffer == nullptr || offset < 0)
        return -1;
    return byteAt(pBuffer, offset + 2) | (byteAt(pBuffer, offset + 3) << 8);
}

const char* infoVersionText(const char* pBuffer, int offset)
{
    if (pBuffer == nullptr || offset < 0 || byteAt(pBuffer, offset + 1) != 0x01)
        return nullptr;
    return pBuffer + offset + 4;
}

quint8 infoMajor(const char* pBuffer, int offset)
{
    if (pBuffer == nullptr || offset < 0 || byteAt(pBuffer, offset + 1) != 0x01)
        return 0;
    return byteAt(pBuffer, offset + 20);
}

quint8 infoMinor(const char* pBuffer, int offset)
{
    if (pBuffer == nullptr || offset < 0 || byteAt(pBuffer, offset + 1) != 0x01)
        return 0;
    return byteAt(pBuffer, offset + 21);
}

int crcReplyValue(const char* pBuffer, int offset)
{
    if (pBuffer == nullptr || offset < 0 || byteAt(pBuffer, offset + 1) != 0x05)
        return -1;
    return byteAt(pBuffer, offset + 4) | (byteAt(pBuffer, offset + 5) << 8);
}

} // namespace ZRN
