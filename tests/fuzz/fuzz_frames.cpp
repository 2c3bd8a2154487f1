// findFrame, findReply, frameType and the reply accessors over arbitrary received
// bytes, used the way the reply wait uses them; and every built request must be found again.

#include "frames.h"

#include <QByteArray>

#include <cstdint>
#include <cstring>

using namespace ZRN;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t size)
{
    // Exactly the received bytes, as the receive buffer holds them.
    const QByteArray received(reinterpret_cast<const char*>(pData), int(size));
    const char* p = received.constData();
    const int offset = findFrame(p, received.size());
    if (offset >= 0) {
        const int length = framePayloadLength(p, offset);
        if (offset + 6 + length > received.size())
            __builtin_trap();
        switch (frameType(p, offset)) {
        case GetInfo:
            if (length >= INFO_PAYLOAD_MIN) {
                const char* pText = infoVersionText(p, offset);
                (void)std::memchr(pText, 0, size_t(length));
                (void)infoMajor(p, offset);
                (void)infoMinor(p, offset);
            }
            break;
        case Crc:
            if (crcReplyValue(p, offset) < 0)
                __builtin_trap();
            break;
        default:
            break;
        }
    }

    // The reply search past stray bytes and an echo: the first input byte picks the
    // awaited type, the next ones up to 16 are taken as the request just sent.
    if (size >= 1) {
        const int expected = GetInfo + pData[0] % 5;
        const int requestSize = int(qMin<size_t>(size - 1, 16));
        const int found = findReply(p, received.size(), expected, p + 1, requestSize);
        if (found >= 0) {
            const int type = frameType(p, found);
            if (findFrame(p + found, received.size() - found) != 0 || (type != expected && type != Nack)
                || found + 6 + framePayloadLength(p, found) > received.size())
                __builtin_trap();
        }
    }

    // Build a Write request from the input and find it again.
    if (size >= 6) {
        qint32 address;
        std::memcpy(&address, pData, 4);
        const int count = int((pData[4] | (pData[5] << 8)) % (WRITE_DATA_MAX + 1));
        if (size_t(count) <= size - 6) {
            char frame[WRITE_FRAME_MAX];
            const int built = buildWriteRequest(frame, address, qint16(count), reinterpret_cast<const char*>(pData + 6));
            if (built != 12 + count || findFrame(frame, built) != 0 || frameType(frame, 0) != Write)
                __builtin_trap();
        }
    }
    return 0;
}
