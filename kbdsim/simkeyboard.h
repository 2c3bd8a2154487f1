#ifndef ZRN_SIMKEYBOARD_H
#define ZRN_SIMKEYBOARD_H

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVector>

namespace ZRN {
namespace sim {

// Wire type bytes of the '@' protocol, as the keyboard sees them.
enum WireType : quint8 {
    WireGetInfo = 0x01,
    WireErase = 0x02,
    WireWrite = 0x03,
    WireRun = 0x04,
    WireCrc = 0x05,
    WireNack = 0x7E,
    WireAck = 0x7F,
};

// One request as the keyboard received it.
struct SimRequest
{
    quint8 type = 0;
    QByteArray payload;
    QByteArray frame;  // the whole request as it came, for a line that echoes
    int frameSize = 0; // bytes on the line, for pacing
    bool crcOk = false;
};

// The keyboard's own request parser: bytes in, whole frames out. It resyncs on the
// next 0x40 after noise and refuses lengths no request can have.
class SimRequestParser
{
public:
    static constexpr int PAYLOAD_MAX = 1024 + 6;

    void feed(const QByteArray& rBytes) { mBuffer.append(rBytes); }
    bool next(SimRequest* pRequest);
    bool isEmpty() const { return mBuffer.isEmpty(); }
    void clear() { mBuffer.clear(); }

private:
    QByteArray mBuffer;
};

enum class FaultKind {
    Nack,      // refuse
    Silence,   // no reply at all
    Split,     // the reply in three pieces with pauses between
    SwapCrc,   // the frame CRC high byte first
    Corrupt,   // a wrong CRC value in a Crc reply; a broken frame CRC otherwise
    ShortInfo, // an information reply with a 10-byte payload
    Close,     // reply, then the line goes away
    Vanish,    // the line goes away instead of the reply
    Prefix,    // given bytes ahead of the reply, as a line glitch or a status burst puts them
};

struct FaultRule
{
    quint8 type = 0;
    FaultKind kind = FaultKind::Nack;
    int occurrence = 0; // 1-based; 0 means every occurrence
    QByteArray bytes;   // what a Prefix puts ahead
};

// "write:nack:2" -> Write requests, Nack, the 2nd one only; "crc:prefix:00AA:1" ->
// the bytes 00 AA ahead of the first Crc reply. Empty error on success.
bool parseFaultRule(const QString& rText, FaultRule* pRule, QString* pError);

struct SimConfig
{
    QString versionText = QStringLiteral("1.00");
    int major = 1;
    int minor = 0;
    int flashSize = 0x40000;
    QByteArray initialFlash; // what the flash holds at start, from address 0; the rest is erased
    QVector<FaultRule> faults;
    int splitPauseMs = 30;
    // A flash cell that does not take what is written (-1: none): it stores the
    // byte with its lowest bit flipped, and the Write is acknowledged all the same.
    qint64 badCell = -1;
    // The Crc reply over the whole 32-bit length asked for; otherwise over the
    // length mod 65536, as a 16-bit count computes it.
    bool crcFullLength = false;
    // A two-wire line: every request comes back to the tool as it is sent.
    bool echo = false;
};

// What the line must do with one request.
struct SimAction
{
    QByteArray echo;          // on the line at once, while the request is still being sent
    QList<QByteArray> pieces; // written in order, with pauseMs between them
    int pauseMs = 0;
    bool closeLine = false;   // after the pieces
    QString logLine;
};

// The keyboard behind the line: flash, version and the fault plan.
class SimKeyboard
{
public:
    explicit SimKeyboard(const SimConfig& rConfig);

    // logged: whether the action's logLine is wanted (formatting it costs time).
    SimAction handle(const SimRequest& rRequest, bool logged = true);
    const QByteArray& flash() const { return mFlash; }

    static QByteArray frame(quint8 type, const QByteArray& rPayload, bool swapCrc = false);
    static QString typeName(quint8 type);

private:
    const FaultRule* faultFor(quint8 type, int occurrence) const;
    QByteArray reply(const SimRequest& rRequest, bool* pNack);

    SimConfig mConfig;
    QByteArray mFlash;
    int mCounts[256] = {};
};

} // namespace sim
} // namespace ZRN

#endif
