#include "frames.h"
#include "testsupport.h"

#include <QtTest>

using namespace ZRN;
using kmztest::fromHex;

class tst_Frames : public QObject
{
    Q_OBJECT

private slots:
    void builders_data();
    void builders();
    void buildWithNullBuffer();
    void writeFrameMax();
    void findFrame_data();
    void findFrame();
    void completesWhenLastByteArrives();
    void findReply_data();
    void findReply();
    void replyCompletedLater();
    void infoReplyAccessors();
    void longPayload();
};

void tst_Frames::builders_data()
{
    QTest::addColumn<QByteArray>("built");
    QTest::addColumn<QByteArray>("expected");

    char buffer[WRITE_FRAME_MAX] = {};
    int n = buildGetInfoRequest(buffer);
    QTest::newRow("GetInfo") << QByteArray(buffer, n) << fromHex("40 01 00 00 AC 59");
    n = buildEraseRequest(buffer);
    QTest::newRow("Erase") << QByteArray(buffer, n) << fromHex("40 02 00 00 FC 00");
    n = buildRunRequest(buffer, 0);
    QTest::newRow("Run 0") << QByteArray(buffer, n) << fromHex("40 04 04 00 00 00 00 00 B7 31");
    n = buildCrcRequest(buffer, 0x4000, 0x1234);
    QTest::newRow("Crc") << QByteArray(buffer, n) << fromHex("40 05 08 00 00 40 00 00 34 12 00 00 F2 08");
    n = buildWriteRequest(buffer, 0x4000, 3, "\x01\x02\x03");
    QTest::newRow("Write 3 bytes") << QByteArray(buffer, n)
                                   << fromHex("40 03 09 00 00 40 00 00 03 00 01 02 03 BB 5C");
}

void tst_Frames::builders()
{
    QFETCH(QByteArray, built);
    QFETCH(QByteArray, expected);
    QCOMPARE(built.toHex(' '), expected.toHex(' '));
}

void tst_Frames::buildWithNullBuffer()
{
    QCOMPARE(buildGetInfoRequest(nullptr), 0);
    QCOMPARE(buildEraseRequest(nullptr), 0);
    QCOMPARE(buildRunRequest(nullptr, 0), 0);
    QCOMPARE(buildCrcRequest(nullptr, 0, 0), 0);
    QCOMPARE(buildWriteRequest(nullptr, 0, 1, "x"), 0);
    char buffer[16] = {};
    QCOMPARE(buildWriteRequest(buffer, 0, -1, "x"), 0);
    QCOMPARE(putType(buffer, 0), 0);
    QCOMPARE(putType(buffer, 8), 0);
}

void tst_Frames::writeFrameMax()
{
    const QByteArray data = kmztest::firmwareImage(1024);
    char buffer[WRITE_FRAME_MAX] = {};
    QCOMPARE(buildWriteRequest(buffer, 0x4400, 1024, data.constData()), WRITE_FRAME_MAX);
    QCOMPARE(QByteArray(buffer, 10).toHex(' '), QByteArray("40 03 06 04 00 44 00 00 00 04"));
    QCOMPARE(QByteArray(buffer + 10, 1024), data);
}

void tst_Frames::findFrame_data()
{
    QTest::addColumn<QByteArray>("received");
    QTest::addColumn<int>("offset");
    QTest::addColumn<int>("type");

    const QByteArray ack = fromHex("40 7F 00 00 A5 9A");
    QTest::newRow("Ack") << ack << 0 << int(Ack);
    QTest::newRow("Ack, CRC swapped") << fromHex("40 7F 00 00 9A A5") << 0 << int(Ack);
    QTest::newRow("Nack") << fromHex("40 7E 00 00 95 AD") << 0 << int(Nack);
    QTest::newRow("Crc reply") << fromHex("40 05 02 00 34 12 0D 5F") << 0 << int(Crc);
    QTest::newRow("one CRC bit wrong") << fromHex("40 7F 00 00 A5 9B") << -1 << 0;
    QTest::newRow("last byte missing") << ack.left(5) << -1 << 0;
    QTest::newRow("header only") << ack.left(3) << -1 << 0;
    QTest::newRow("empty") << QByteArray() << -1 << 0;
    QTest::newRow("noise before") << fromHex("11 22 33") + ack << 3 << int(Ack);
    QTest::newRow("zero byte before") << fromHex("11 00 33") + ack << -1 << 0;
    QTest::newRow("stray 0x40 before") << fromHex("40 11") + ack << -1 << 0;
    QTest::newRow("trailing bytes") << ack + fromHex("FF 40 00 12") << 0 << int(Ack);
}

void tst_Frames::findFrame()
{
    QFETCH(QByteArray, received);
    QFETCH(int, offset);
    QFETCH(int, type);
    QCOMPARE(ZRN::findFrame(received.constData(), received.size()), offset);
    if (offset >= 0)
        QCOMPARE(frameType(received.constData(), offset), type);
}

void tst_Frames::completesWhenLastByteArrives()
{
    const QByteArray reply = fromHex("40 05 02 00 34 12 0D 5F");
    QByteArray buffer;
    for (int i = 0; i < reply.size(); ++i) {
        QCOMPARE(ZRN::findFrame(buffer.constData(), buffer.size()), -1);
        buffer.append(reply[i]);
    }
    QCOMPARE(ZRN::findFrame(buffer.constData(), buffer.size()), 0);
    QCOMPARE(crcReplyValue(buffer.constData(), 0), 0x1234);
    QCOMPARE(crcReplyValue(fromHex("40 7F 00 00 A5 9A").constData(), 0), -1);
    // A Crc reply without its two value bytes, or with one: no value, never the
    // bytes of its own CRC that follow.
    QCOMPARE(crcReplyValue(fromHex("40 05 00 00 6C 85").constData(), 0), -1);
    QCOMPARE(crcReplyValue(fromHex("40 05 01 00 34 CA EC").constData(), 0), -1);
}

void tst_Frames::findReply_data()
{
    QTest::addColumn<QByteArray>("received");
    QTest::addColumn<QByteArray>("request"); // the request just sent
    QTest::addColumn<int>("expected");       // the awaited type
    QTest::addColumn<int>("offset");

    const QByteArray ack = fromHex("40 7F 00 00 A5 9A");
    const QByteArray nack = fromHex("40 7E 00 00 95 AD");
    const QByteArray crcReply = fromHex("40 05 02 00 34 12 0D 5F");
    const QByteArray erase = fromHex("40 02 00 00 FC 00");
    const QByteArray crcRequest = fromHex("40 05 08 00 00 40 00 00 34 12 00 00 F2 08");
    const QByteArray getInfo = fromHex("40 01 00 00 AC 59");
    const QByteArray info = fromHex("40 01 12 00 31 2E 30 35") + QByteArray(12, '\0') + fromHex("01 05 8C CE");
    // A Write whose data holds the bytes of an Ack: its echo must not be taken for one.
    char write[WRITE_FRAME_MAX] = {};
    const int writeSize = buildWriteRequest(write, 0x4000, 6, ack.constData());
    const QByteArray writeRequest(write, writeSize);

    QTest::newRow("the reply alone") << ack << erase << int(Ack) << 0;
    QTest::newRow("a zero byte ahead") << fromHex("00") + ack << erase << int(Ack) << 1;
    QTest::newRow("@ then a zero byte") << fromHex("40 00") + ack << erase << int(Ack) << 2;
    QTest::newRow("the keyboard's status burst") << fromHex("AA 02 40 40") + ack << erase << int(Ack) << 4;
    QTest::newRow("noise holding @") << fromHex("13 40 37 40 7F 00") + crcReply << crcRequest << int(Crc) << 6;
    QTest::newRow("a broken frame ahead") << fromHex("40 7F 00 00 A5 9B") + ack << erase << int(Ack) << 6;
    QTest::newRow("the CRC swapped, after noise") << fromHex("55 40") + fromHex("40 7F 00 00 9A A5") << erase
                                                  << int(Ack) << 2;
    QTest::newRow("echo, then the reply") << crcRequest + crcReply << crcRequest << int(Crc) << 14;
    QTest::newRow("echo alone") << crcRequest << crcRequest << int(Crc) << -1;
    QTest::newRow("echo of GetInfo, then the reply") << getInfo + info << getInfo << int(GetInfo) << 6;
    QTest::newRow("echo of a Write holding an Ack, then the Ack")
        << writeRequest + ack << writeRequest << int(Ack) << writeSize;
    QTest::newRow("echo of a Write still arriving") << writeRequest.left(writeSize - 1) << writeRequest << int(Ack)
                                                     << -1;
    QTest::newRow("a frame of another type, then the awaited one") << ack + crcReply << crcRequest << int(Crc) << 6;
    QTest::newRow("a frame of another type alone") << ack << crcRequest << int(Crc) << -1;
    QTest::newRow("a refusal after noise") << fromHex("00 40") + nack << crcRequest << int(Crc) << 2;
    QTest::newRow("incomplete reply") << ack.left(5) << erase << int(Ack) << -1;
    QTest::newRow("empty") << QByteArray() << erase << int(Ack) << -1;
}

void tst_Frames::findReply()
{
    QFETCH(QByteArray, received);
    QFETCH(QByteArray, request);
    QFETCH(int, expected);
    QFETCH(int, offset);
    QCOMPARE(ZRN::findReply(received.constData(), received.size(), expected, request.constData(), request.size()),
             offset);
}

void tst_Frames::replyCompletedLater()
{
    // A stray @ and a reply that comes in byte by byte: found with its last byte.
    const QByteArray received = fromHex("40 00 40 05 02 00 34 12 0D 5F");
    for (int size = 0; size < received.size(); ++size)
        QCOMPARE(ZRN::findReply(received.constData(), size, Crc, nullptr, 0), -1);
    QCOMPARE(ZRN::findReply(received.constData(), received.size(), Crc, nullptr, 0), 2);
}

void tst_Frames::infoReplyAccessors()
{
    const QByteArray reply = fromHex("40 01 12 00 31 2E 30 35") + QByteArray(12, '\0') + fromHex("01 05 8C CE");
    QCOMPARE(reply.size(), 24);
    QCOMPARE(ZRN::findFrame(reply.constData(), reply.size()), 0);
    QCOMPARE(frameType(reply.constData(), 0), int(GetInfo));
    QCOMPARE(QByteArray(infoVersionText(reply.constData(), 0)), QByteArray("1.05"));
    QCOMPARE(int(infoMajor(reply.constData(), 0)), 1);
    QCOMPARE(int(infoMinor(reply.constData(), 0)), 5);
    QCOMPARE(framePayloadLength(reply.constData(), 0), 18);

    const QByteArray ack = fromHex("40 7F 00 00 A5 9A");
    QVERIFY(infoVersionText(ack.constData(), 0) == nullptr);
    QCOMPARE(int(infoMajor(ack.constData(), 0)), 0);
}

void tst_Frames::longPayload()
{
    // Length bytes of 0x80 and more are unsigned: 200 payload bytes, 206 in all.
    QByteArray frame = fromHex("40 7F C8 00") + QByteArray(200, char(0x81));
    char crcBytes[2];
    putCrc(crcBytes, frame.constData(), frame.size());
    frame.append(crcBytes, 2);
    QCOMPARE(frame.size(), 206);
    QCOMPARE(ZRN::findFrame(frame.constData(), 205), -1);
    QCOMPARE(ZRN::findFrame(frame.constData(), 206), 0);
}

QTEST_APPLESS_MAIN(tst_Frames)
#include "tst_frames.moc"
