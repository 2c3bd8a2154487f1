// The update-file checks and the generator's bytes over arbitrary contents, in
// process: reading files is the same for every input and is tested elsewhere.

#include "tkmzManagerOperation.h"

#include <QCoreApplication>

#include <cstdint>

namespace {

ZRN::tkmzManagerOperation* gpOperation = nullptr;

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* pArgc, char*** pArgv)
{
    static QCoreApplication application(*pArgc, *pArgv);
    qInstallMessageHandler(quiet);
    gpOperation = new ZRN::tkmzManagerOperation;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t size)
{
    const QByteArray input(reinterpret_cast<const char*>(pData), int(size));
    const QString name = QStringLiteral("input.upd");

    // As an update file: the checks before the erase take exactly what --g refuses
    // as a firmware image, and then the version gate reads its bytes.
    const bool accepted = ZRN::tkmzManagerOperation::checkUpdateData(name, input);
    if (accepted != ZRN::isWholeUpdateFile(input))
        __builtin_trap();
    if (accepted)
        (void)gpOperation->isUpdateNewer(input);

    // As a firmware image: what --g makes of it is N + 8 bytes that the checks take.
    const QByteArray update = ZRN::updateFileHead(3, 1) + input + ZRN::updateFileTail(input);
    if (update.size() != input.size() + 8 || !ZRN::tkmzManagerOperation::checkUpdateData(name, update)
        || update.mid(4, input.size()) != input)
        __builtin_trap();
    return 0;
}
