// The update-file checks and the generator's bytes over arbitrary contents, in
// process: reading files is the same for every input and is tested elsewhere.

#include "tkmzManagerOperation.h"
#include "update/checksum.h"
#include "update/format.h"

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

    // As an update file: the checks before the erase take exactly the whole update
    // files (what --g refuses as a firmware image) whose image holds the marker,
    // and then the version gate reads its bytes.
    const bool accepted = ZRN::tkmzManagerOperation::checkUpdateData(name, input);
    const bool whole = ZRN::isWholeUpdateFile(input);
    if (accepted != (whole && ZRN::holdsFirmwareMarker(input.constData() + 4, input.size() - 8)))
        __builtin_trap();
    if (accepted)
        (void)gpOperation->isUpdateNewer(input);

    // As a firmware image: what --g makes of it is N + 8 bytes, which the checks
    // take when the image holds the marker (--g takes no other).
    const QByteArray update = ZRN::updateFileHead(3, 1) + input + ZRN::updateFileTail(input);
    const bool marked = ZRN::holdsFirmwareMarker(input.constData(), input.size());
    if (update.size() != input.size() + 8 || ZRN::tkmzManagerOperation::checkUpdateData(name, update) != marked
        || update.mid(4, input.size()) != input)
        __builtin_trap();

    // As a checksum file: what is found is a digest sha256sum writes; and a line
    // written for the input as a name (escaped where it must be) is read back as
    // that name's.
    const QByteArray digest(64, 'c');
    const ZRN::ChecksumLookup found
        = ZRN::lookUpChecksum(input, [](const QByteArray& rName) { return rName == "a.upd"; });
    for (const QByteArray& rDigest : found.digests) {
        if (rDigest.size() != 64 || rDigest != rDigest.toLower())
            __builtin_trap();
    }
    if (ZRN::isChecksumText(input) && found.verdict == ZRN::ChecksumLookup::Unreadable)
        __builtin_trap();
    // A name ends at a NUL byte, as sha256sum reads it.
    if (!input.isEmpty() && !input.contains('\0')) {
        const ZRN::ChecksumLookup back = ZRN::lookUpChecksum(
            ZRN::checksumLine(digest, input), [&input](const QByteArray& rName) { return rName == input; });
        if (back.verdict != ZRN::ChecksumLookup::Listed || back.digests != QList<QByteArray>{digest})
            __builtin_trap();
    }
    return 0;
}
