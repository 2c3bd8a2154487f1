#include "simkeyboard.h"

#include "crc16.h"

#include <QStringList>

namespace ZRN {
namespace sim {

namespace {

quint32 le32(const QByteArray& rData, int at)
{
    return quint32(quint8(rData[at])) | (quint32(quint8(rData[at + 1])) << 8)
           | (quint32(quint8(rData[at + 2])) << 16) | (quint32(quint8(rData[at + 3])) << 24);
}

quint16 le16(const QByteArray& rData, int at)
{
    return quint16(quint8(rData[at]) | (quint8(rData[at + 1]) << 8));
}

struct Named
{
    const char* pName;
    quint8 type;
};
const Named gTypeNames[] = {{"getinfo", WireGetInfo}, {"erase", WireErase}, {"write", WireWrite},
                            {"crc", WireCrc},         {"run", WireRun}};

struct NamedFault
{
    const char* pName;
    FaultKind kind;
};
const NamedFault gFaultNames[] = {
    {"nack", FaultKind::Nack},       {"silence", FaultKind::Silence}, {"split", FaultKind::Split},
    {"swap", FaultKind::SwapCrc},    {"corrupt", FaultKind::Corrupt}, {"short", FaultKind::ShortInfo},
    {"close", FaultKind::Close},     {"vanish", FaultKind::Vanish}, {"prefix", FaultKind::Prefix}};

// CRC-16/XMODEM with no limit on the count, as a keyboard with a 32-bit counter
// computes it.
quint16 crcOverAll(const char* pData, quint32 count)
{
    quint16 crc = 0;
    for (quint32 i = 0; i < count; ++i) {
        crc ^= quint16(quint8(pData[i]) << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? quint16((crc << 1) ^ 0x1021) : quint16(crc << 1);
    }
    return crc;
}

} // namespace

bool SimRequestParser::next(SimRequest* pRequest)
{
    for (;;) {
        const int start = mBuffer.indexOf(char(0x40));
        if (start < 0) {
            mBuffer.clear();
            return false;
        }
        if (start > 0)
            mBuffer.remove(0, start);
        if (mBuffer.size() < 4)
            return false;
        const int length = le16(mBuffer, 2);
        if (length > PAYLOAD_MAX) {
            mBuffer.remove(0, 1); // not a request: look for the next start byte
            continue;
        }
        const int frameSize = 4 + length + 2;
        if (mBuffer.size() < frameSize)
            return false;
        pRequest->type = quint8(mBuffer[1]);
        pRequest->payload = mBuffer.mid(4, length);
        pRequest->frame = mBuffer.left(frameSize);
        pRequest->frameSize = frameSize;
        // Requests carry their CRC low byte first, and only so.
        pRequest->crcOk = crc16(mBuffer.constData(), 4 + length) == le16(mBuffer, 4 + length);
        mBuffer.remove(0, frameSize);
        return true;
    }
}

bool parseFaultRule(const QString& rText, FaultRule* pRule, QString* pError)
{
    QStringList parts = rText.split(QLatin1Char(':'));
    // prefix carries its bytes, in hex, as the third part.
    const bool prefix = parts.value(1) == QLatin1String("prefix");
    if (prefix && parts.size() >= 3) {
        const QString hex = parts.takeAt(2);
        pRule->bytes = QByteArray::fromHex(hex.toLatin1());
        if (hex.isEmpty() || hex.size() % 2 != 0 || pRule->bytes.toHex() != hex.toLower().toLatin1()) {
            *pError = QStringLiteral("prefix bytes must be hex digits in pairs, got \"%1\"").arg(hex);
            return false;
        }
    } else if (prefix) {
        *pError = QStringLiteral("fault must be TYPE:prefix:HEX[:K], got \"%1\"").arg(rText);
        return false;
    }
    if (parts.size() < 2 || parts.size() > 3) {
        *pError = QStringLiteral("fault must be TYPE:KIND[:K], got \"%1\"").arg(rText);
        return false;
    }
    bool typeFound = false;
    for (const Named& named : gTypeNames) {
        if (parts[0] == QLatin1String(named.pName)) {
            pRule->type = named.type;
            typeFound = true;
        }
    }
    if (!typeFound) {
        *pError = QStringLiteral("unknown request type \"%1\" (getinfo, erase, write, crc, run)").arg(parts[0]);
        return false;
    }
    bool kindFound = false;
    for (const NamedFault& named : gFaultNames) {
        if (parts[1] == QLatin1String(named.pName)) {
            pRule->kind = named.kind;
            kindFound = true;
        }
    }
    if (!kindFound) {
        *pError = QStringLiteral("unknown fault \"%1\" (nack, silence, split, swap, corrupt, short, close, vanish, prefix)")
                      .arg(parts[1]);
        return false;
    }
    if (pRule->kind == FaultKind::ShortInfo && pRule->type != WireGetInfo) {
        *pError = QStringLiteral("fault \"short\" only applies to getinfo, got \"%1\"").arg(rText);
        return false;
    }
    pRule->occurrence = 0;
    if (parts.size() == 3) {
        bool ok = false;
        pRule->occurrence = parts[2].toInt(&ok);
        if (!ok || pRule->occurrence < 1) {
            *pError = QStringLiteral("occurrence must be 1 or more, got \"%1\"").arg(parts[2]);
            return false;
        }
    }
    return true;
}

SimKeyboard::SimKeyboard(const SimConfig& rConfig)
    : mConfig(rConfig)
    , mFlash(qMax(0, rConfig.flashSize), char(0xFF))
{
    const auto count = qMin(mFlash.size(), rConfig.initialFlash.size());
    mFlash.replace(0, count, rConfig.initialFlash.left(count));
}

QString SimKeyboard::typeName(quint8 type)
{
    switch (type) {
    case WireGetInfo: return QStringLiteral("GetInfo");
    case WireErase: return QStringLiteral("Erase");
    case WireWrite: return QStringLiteral("Write");
    case WireRun: return QStringLiteral("Run");
    case WireCrc: return QStringLiteral("Crc");
    default: return QStringLiteral("Unknown(0x%1)").arg(uint(type), 2, 16, QLatin1Char('0'));
    }
}

QByteArray SimKeyboard::frame(quint8 type, const QByteArray& rPayload, bool swapCrc)
{
    QByteArray result;
    result.reserve(rPayload.size() + 6);
    result.append(char(0x40)).append(char(type));
    result.append(char(rPayload.size() & 0xFF)).append(char((rPayload.size() >> 8) & 0xFF));
    result.append(rPayload);
    const quint16 crc = crc16(result.constData(), result.size());
    const char low = char(crc & 0xFF);
    const char high = char(crc >> 8);
    if (swapCrc)
        result.append(high).append(low);
    else
        result.append(low).append(high);
    return result;
}

const FaultRule* SimKeyboard::faultFor(quint8 type, int occurrence) const
{
    for (const FaultRule& rule : mConfig.faults) {
        if (rule.type == type && (rule.occurrence == 0 || rule.occurrence == occurrence))
            return &rule;
    }
    return nullptr;
}

// The normal reply; *pNack tells a refusal from an answer.
QByteArray SimKeyboard::reply(const SimRequest& rRequest, bool* pNack)
{
    *pNack = false;
    const QByteArray& p = rRequest.payload;
    switch (rRequest.type) {
    case WireGetInfo: {
        QByteArray payload(18, '\0');
        const QByteArray text = mConfig.versionText.toLatin1().left(16);
        payload.replace(0, text.size(), text);
        payload[16] = char(mConfig.major & 0xFF);
        payload[17] = char(mConfig.minor & 0xFF);
        return frame(WireGetInfo, payload);
    }
    case WireErase:
        mFlash.fill(char(0xFF));
        return frame(WireAck, QByteArray());
    case WireWrite: {
        if (p.size() < 6)
            break;
        const quint32 address = le32(p, 0);
        const int count = le16(p, 4);
        if (count != p.size() - 6 || quint64(address) + quint64(count) > quint64(mFlash.size()))
            break;
        mFlash.replace(int(address), count, p.constData() + 6, count);
        if (mConfig.badCell >= qint64(address) && mConfig.badCell < qint64(address) + count)
            mFlash[int(mConfig.badCell)] = char(mFlash[int(mConfig.badCell)] ^ 0x01);
        return frame(WireAck, QByteArray());
    }
    case WireCrc: {
        if (p.size() < 8)
            break;
        const quint32 address = le32(p, 0);
        const quint32 length = le32(p, 4);
        if (quint64(address) + quint64(length) > quint64(mFlash.size()))
            break;
        const char* pRange = mFlash.constData() + address;
        const quint16 value = mConfig.crcFullLength ? crcOverAll(pRange, length) : crc16(pRange, qint32(length));
        QByteArray payload;
        payload.append(char(value & 0xFF)).append(char(value >> 8));
        return frame(WireCrc, payload);
    }
    case WireRun:
        if (p.size() < 4)
            break;
        return frame(WireAck, QByteArray());
    default:
        break;
    }
    *pNack = true;
    return frame(WireNack, QByteArray());
}

SimAction SimKeyboard::handle(const SimRequest& rRequest, bool logged)
{
    SimAction action;
    if (mConfig.echo)
        action.echo = rRequest.frame;
    const QByteArray& p = rRequest.payload;
    if (logged) {
        action.logLine = typeName(rRequest.type);
        if (rRequest.type == WireWrite && p.size() >= 6)
            action.logLine += QStringLiteral(" address=0x%1 count=%2").arg(le32(p, 0), 0, 16).arg(le16(p, 4));
        else if (rRequest.type == WireCrc && p.size() >= 8)
            action.logLine += QStringLiteral(" address=0x%1 length=%2").arg(le32(p, 0), 0, 16).arg(le32(p, 4));
        else if (rRequest.type == WireRun && p.size() >= 4)
            action.logLine += QStringLiteral(" argument=%1").arg(le32(p, 0));
    }

    if (!rRequest.crcOk) {
        action.logLine += QStringLiteral(" bad-crc");
        action.pieces.append(frame(WireNack, QByteArray()));
        return action;
    }

    const int occurrence = ++mCounts[rRequest.type];
    const FaultRule* pFault = faultFor(rRequest.type, occurrence);
    if (pFault != nullptr) {
        switch (pFault->kind) {
        case FaultKind::Nack:
            action.pieces.append(frame(WireNack, QByteArray()));
            action.logLine += QStringLiteral(" fault=nack");
            return action;
        case FaultKind::Silence:
            action.logLine += QStringLiteral(" fault=silence");
            return action;
        case FaultKind::Vanish:
            action.closeLine = true;
            action.logLine += QStringLiteral(" fault=vanish");
            return action;
        default:
            break;
        }
    }

    bool nack = false;
    QByteArray answer = reply(rRequest, &nack);
    if (nack)
        action.logLine += QStringLiteral(" nack");
    if (pFault != nullptr && !nack) {
        switch (pFault->kind) {
        case FaultKind::Split: {
            const int third = qMax(1, answer.size() / 3);
            action.pieces.append(answer.left(third));
            action.pieces.append(answer.mid(third, third));
            action.pieces.append(answer.mid(2 * third));
            action.pauseMs = mConfig.splitPauseMs;
            action.logLine += QStringLiteral(" fault=split");
            return action;
        }
        case FaultKind::SwapCrc:
            answer = frame(quint8(answer[1]), answer.mid(4, answer.size() - 6), true);
            action.logLine += QStringLiteral(" fault=swap");
            break;
        case FaultKind::Corrupt:
            if (rRequest.type == WireCrc) {
                QByteArray payload = answer.mid(4, 2);
                payload[0] = char(payload[0] ^ 0x5A);
                payload[1] = char(payload[1] ^ 0xA5);
                answer = frame(WireCrc, payload);
            } else {
                answer[answer.size() - 1] = char(answer[answer.size() - 1] ^ 0x01);
            }
            action.logLine += QStringLiteral(" fault=corrupt");
            break;
        case FaultKind::ShortInfo:
            answer = frame(WireGetInfo, answer.mid(4, 10));
            action.logLine += QStringLiteral(" fault=short");
            break;
        case FaultKind::Close:
            action.closeLine = true;
            action.logLine += QStringLiteral(" fault=close");
            break;
        case FaultKind::Prefix:
            answer.prepend(pFault->bytes);
            action.logLine += QStringLiteral(" fault=prefix");
            break;
        default:
            break;
        }
    }
    action.pieces.append(answer);
    return action;
}

} // namespace sim
} // namespace ZRN
