// kbdprobe's handling of one burst: every answer is one well-formed 0xAA frame.

#include "trdqSerialMonitor.h"

#include <QByteArray>
#include <QCoreApplication>

#include <cstdint>

namespace {

ZRN::trdqSerialMonitor* gpMonitor = nullptr;

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* pArgc, char*** pArgv)
{
    static QCoreApplication application(*pArgc, *pArgv);
    qInstallMessageHandler(quiet);
    gpMonitor = new ZRN::trdqSerialMonitor;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t size)
{
    bool status = false;
    const QByteArray burst(reinterpret_cast<const char*>(pData), int(size));
    const QByteArray answer = gpMonitor->answerBurst(burst, &status);
    // AA, L, L - 1 payload bytes, their sum: L + 2 bytes in all.
    if (answer.size() < 4 || quint8(answer[0]) != 0xAA || quint8(answer[1]) + 2 != answer.size())
        __builtin_trap();
    unsigned sum = 0;
    for (int i = 2; i < answer.size() - 1; ++i)
        sum += quint8(answer[i]);
    if ((sum & 0xFF) != quint8(answer[answer.size() - 1]))
        __builtin_trap();
    if (status != (burst.indexOf(QByteArray::fromHex("aa024040")) >= 0))
        __builtin_trap();
    return 0;
}
