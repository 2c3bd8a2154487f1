#ifndef ZRN_FRAMES_H
#define ZRN_FRAMES_H

#include <QtGlobal>

// The keyboard's '@' frames: 0x40, type, 16-bit little-endian payload length,
// payload, CRC-16 over everything before it. Requests carry the CRC low byte
// first; replies are accepted in either byte order. Everything here works in
// place on caller buffers and allocates nothing.

namespace ZRN {

// The program's code for a frame type; only the wire carries the wire byte.
enum FrameType : int {
    FrameUnknown = 0,
    GetInfo = 1,
    Erase = 2,
    Write = 3,
    Run = 4,
    Crc = 5,
    Ack = 6,  // wire 0x7F
    Nack = 7, // wire 0x7E
};

constexpr int FRAME_HEADER_SIZE = 4;
constexpr int FRAME_CRC_SIZE = 2;
constexpr int WRITE_DATA_MAX = 1024;
constexpr int WRITE_FRAME_MAX = 12 + WRITE_DATA_MAX; // 1036
constexpr int SHORT_FRAME_BUFFER = 16;
// Information reply payload: the version text field, then major and minor.
constexpr int INFO_TEXT_SIZE = 16;
constexpr int INFO_PAYLOAD_MIN = INFO_TEXT_SIZE + 2;

// Writers: each returns the number of bytes written, 0 for a null pointer.
int putStart(char* pOut);
int putType(char* pOut, int type);
int putLength(char* pOut, qint32 value);
int putBytes(char* pOut, const void* pSource, int n);
int putCrc(char* pOut, const char* pFrameStart, int n);

// Builders: write a whole request from pBuffer[0] and return its length
// (0 for a null buffer, or a negative Write count).
int buildGetInfoRequest(char* pBuffer);
int buildEraseRequest(char* pBuffer);
int buildRunRequest(char* pBuffer, qint32 argument);
int buildCrcRequest(char* pBuffer, qint32 address, qint32 count);
int buildWriteRequest(char* pBuffer, qint32 address, qint16 count, const char* pData);

// Offset of the reply frame in the first size bytes, or -1. Only the first 0x40
// before any 0x00 is considered, and its frame must be complete with a matching CRC.
int findFrame(const char* pBuffer, int size);

// Offset of the reply to a request in the first size bytes, or -1: the first frame
// that checks out (complete, CRC in either byte order) and is of the awaited type
// or a Nack. A real line puts other things ahead of a reply, and they are looked
// past: zero bytes, a 0x40 whose frame does not check out, whole frames of another
// type, and a byte-exact copy of the request (a two-wire line echoes it). A copy of
// the request that is still arriving is waited for, never looked into: its data may
// hold bytes that look like a reply.
int findReply(const char* pBuffer, int size, int expectedType, const char* pRequest, int requestSize);

// Accessors for a frame found by findFrame; each tests the wire type itself.
int frameType(const char* pBuffer, int offset);
int framePayloadLength(const char* pBuffer, int offset);
const char* infoVersionText(const char* pBuffer, int offset);
quint8 infoMajor(const char* pBuffer, int offset);
quint8 infoMinor(const char* pBuffer, int offset);
// The Crc reply's 16-bit value, or -1 when the frame is no Crc reply or its
// payload is too short to hold one.
int crcReplyValue(const char* pBuffer, int offset);

} // namespace ZRN

#endif
