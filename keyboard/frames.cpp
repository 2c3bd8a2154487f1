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

namespace {

// The size of the frame at pFrame (which holds a 0x40), 0 while it is incomplete,
// -1 when its CRC matches in neither byte order.
int checkedFrameSize(const char* pFrame, int available)
{
    if (available < FRAME_HEADER_SIZE)
        return 0;
    const int n = byteAt(pFrame, 2) | (byteAt(pFrame, 3) << 8);
    if (available < FRAME_HEADER_SIZE + n + FRAME_CRC_SIZE)
        return 0;
    const int received = byteAt(pFrame, 4 + n) | (byteAt(pFrame, 5 + n) << 8);
    const int computed = crc16(pFrame, n + FRAME_HEADER_SIZE);
    const int swapped = ((received & 0xFF) << 8) | (received >> 8);
    if (computed == received || computed == swapped)
        return FRAME_HEADER_SIZE + n + FRAME_CRC_SIZE;
    return -1;
}

} // namespace

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
    if (off < 0)
        return -1;
    return checkedFrameSize(pBuffer + off, size - off) > 0 ? off : -1;
}

int findReply(const char* pBuffer, int size, int expectedType, const char* pRequest, int requestSize)
{
    if (pBuffer == nullptr)
        return -1;
    if (pRequest == nullptr)
        requestSize = 0;
    int from = 0;
    while (from < size) {
        const void* pStart = std::memchr(pBuffer + from, START_BYTE, size_t(size - from));
        if (pStart == nullptr)
            return -1;
        const int off = int(static_cast<const char*>(pStart) - pBuffer);
        const int available = size - off;
        if (requestSize > 0 && std::memcmp(pBuffer + off, pRequest, size_t(qMin(available, requestSize))) == 0) {
            if (available < requestSize)
                return -1;
            from = off + requestSize;
            continue;
        }
        const int frameSize = checkedFrameSize(pBuffer + off, available);
        if (frameSize > 0) {
            const int type = frameType(pBuffer, off);
            if (type == expectedType || type == Nack)
                return off;
            from = off + frameSize;
            continue;
        }
        // Incomplete or broken: a stray 0x40 may stand ahead of the reply.
        from = off + 1;
    }
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
    // A reply without its two value bytes holds no value: what follows the
    // header there is the frame's own CRC.
    if (framePayloadLength(pBuffer, offset) < 2)
        return -1;
    return byteAt(pBuffer, offset + 4) | (byteAt(pBuffer, offset + 5) << 8);
}

} // namespace ZRN
