#include "crc16.h"
#include "testsupport.h"

#include <QtTest>

class tst_Crc16 : public QObject
{
    Q_OBJECT

private slots:
    void vectors_data();
    void vectors();
    void countIsTakenModulo65536();
};

void tst_Crc16::vectors_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("expected");

    QTest::newRow("check value") << QByteArray("123456789") << 9 << 0x31C3;
    QTest::newRow("abc") << QByteArray("abc") << 3 << 0x9DD6;
    QTest::newRow("GetInfo header") << kmztest::fromHex("40010000") << 4 << 0x59AC;
    QTest::newRow("count 0") << QByteArray("abc") << 0 << 0;
    QTest::newRow("single zero byte") << QByteArray(1, '\0') << 1 << 0;
}

void tst_Crc16::vectors()
{
    QFETCH(QByteArray, data);
    QFETCH(int, count);
    QFETCH(int, expected);
    QCOMPARE(int(ZRN::crc16(data.constData(), count)), expected);
}

void tst_Crc16::countIsTakenModulo65536()
{
    const QByteArray data = kmztest::firmwareImage(70000);
    QCOMPARE(int(ZRN::crc16(data.constData(), 65536)), 0);
    QCOMPARE(ZRN::crc16(data.constData(), 65537), ZRN::crc16(data.constData(), 1));
    QCOMPARE(ZRN::crc16(data.constData(), 70000), ZRN::crc16(data.constData(), 70000 - 65536));
    QCOMPARE(ZRN::crc16(data.constData(), -1), ZRN::crc16(data.constData(), 65535));
    // A reduced count of 0 must not touch the data at all.
    QCOMPARE(int(ZRN::crc16(nullptr, 0)), 0);
    QCOMPARE(int(ZRN::crc16(nullptr, 0x10000)), 0);
    QCOMPARE(int(ZRN::crc16(nullptr, -65536)), 0);

    // The table form against the bit-by-bit definition over random data.
    quint16 crc = 0;
    for (int i = 0; i < 4000; ++i) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool f = ((quint8(data[i]) >> bit) & 1) != ((crc >> 15) & 1);
            crc = quint16((crc << 1) ^ (f ? 0x1021 : 0));
        }
    }
    QCOMPARE(ZRN::crc16(data.constData(), 4000), crc);
}

QTEST_APPLESS_MAIN(tst_Crc16)
#include "tst_crc16.moc"
