// The update-file checks and the generator over arbitrary file contents.

#include "tkmzManagerOperation.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdint>

namespace {

QTemporaryDir* gpDir = nullptr;
ZRN::tkmzManagerOperation* gpOperation = nullptr;

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* pArgc, char*** pArgv)
{
    static QCoreApplication application(*pArgc, *pArgv);
    qInstallMessageHandler(quiet);
    gpDir = new QTemporaryDir;
    gpOperation = new ZRN::tkmzManagerOperation;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t size)
{
    const QString input = gpDir->filePath("input.bin");
    const QString output = gpDir->filePath("output.upd");
    {
        QFile file(input);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        file.write(reinterpret_cast<const char*>(pData), qint64(size));
    }
    // As an update file: the checks on disk and in memory, and the version gate.
    QByteArray update;
    if (gpOperation->checkUpdateFile(input) && gpOperation->loadUpdateFile(input, update))
        (void)gpOperation->isUpdateNewer(update);

    // As a firmware image: an update file is N + 8 bytes, or nothing is written.
    QFile::remove(output);
    const int result = gpOperation->generateUpdateFile({"kmzflash", "--g", input, output, "3", "1"});
    const qint64 written = QFileInfo(output).exists() ? QFileInfo(output).size() : -1;
    if ((result == 0 && written != qint64(size) + 8) || (result != 0 && written != -1))
        __builtin_trap();
    return 0;
}
