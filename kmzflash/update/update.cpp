// The update procedure (--u): check the file, gate on the version, erase, write
// and verify the update at 0x4000 and the updater at 0, then run the updater.
//
// Both files are read whole and checked before the erase; from the erase on only
// those bytes are written and verified, whatever happens to the files meanwhile.

#include "tkmzManagerOperation.h"

#include "checksum.h"
#include "format.h"
#include "crc16.h"
#include "console/pathtext.h"
#include "samefile.h"
#include "frames.h"
#include "console/jsonevents.h"
#include "console/messages.h"
#include "console/progress.h"
#include "guard/tkmzInterruptGuard.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <cstring>

namespace ZRN {

namespace {

// The last line when a Write was refused: the keyboard refuses an update larger
// than its flash, and will again at every try, so running the same one again
// cannot help.
const char gRefusedWriteLine[] = "The keyboard is left without working firmware. It refused a Write: this update "
                                 "does not fit its flash or is refused by it, and will be at every try. Run an "
                                 "update this keyboard took before, with force, to bring it back.";
// The last line when the keyboard refused a Write of the updater, after it took
// the update whole: the update fits, the updater is what it will not take.
const char gRefusedUpdaterLine[] = "The keyboard is left without working firmware. The update was written and "
                                   "verified, but the keyboard refused the updater: run the same update with an "
                                   "updater this keyboard takes, with force, to bring it back.";
// The last line when Run was sent but not answered: the updater may be at work,
// and a new update now would erase the flash under it.
const char gRunUnansweredLine[] = "The updater was written and verified, and may be running already: only its "
                                  "answer to Run was lost. Wait a minute, then check the keyboard with --i before "
                                  "running anything.";

// The steps from the erase on whose failure has advice of its own.
enum class Step { Other, Write, UpdaterWrite, Run };

} // namespace

int tkmzManagerOperation::updateFirmware(const QStringList& rArguments)
{
    const QString updatePath = argumentAt(rArguments, 3);
    const QString updaterPath = argumentAt(rArguments, 4);
    const QString option = argumentAt(rArguments, 5);

    QByteArray update;
    if (!takeUpdateFile(updatePath, update))
        return 1;
    if (!checkUpdaterName(updatePath, updaterPath))
        return 1;
    jsonStep("version", QString());
    if (getFirmwareInfo() != 0) {
        qWarning() << "Get firmware info failed!";
        return 1;
    }
    const QString updateVersion = versionText(quint8(update.at(2)), quint8(update.at(3)));
    const QString versions = QStringLiteral("Keyboard firmware %1, update %2")
                                 .arg(versionText(mKeyboard.major, mKeyboard.minor), updateVersion);
    if (option == QLatin1String("force")) {
        terminalLine(versions + QLatin1String(": forced"));
    } else if (isUpdateNewer(update)) {
        terminalLine(versions + QLatin1String(": newer"));
    } else {
        terminalLine(QStringLiteral("Update skipped: %1 is not newer than the keyboard's %2 (use force).")
                         .arg(updateVersion, versionText(mKeyboard.major, mKeyboard.minor)));
        jsonSkipped();
        return 0;
    }

    // The updater is read before anything is erased: a bad local file must not
    // leave the keyboard without firmware and without an updater.
    QByteArray updater;
    jsonStep("check", updaterPath);
    if (!loadUpdater(updaterPath, updater))
        return 1;

    // From here an interrupt is held: the keyboard must not be left erased. A step
    // that fails from here on leaves it without working firmware, and the last
    // line says what to do: what fits depends on how the step failed.
    const auto failed = [this](const char* pStep, Step step) {
        qWarning() << pStep;
        const bool runUnanswered = step == Step::Run && mLastFailure == Unanswered;
        if (step == Step::Write && mLastFailure == Refused)
            qWarning() << gRefusedWriteLine;
        else if (step == Step::UpdaterWrite && mLastFailure == Refused)
            qWarning() << gRefusedUpdaterLine;
        else if (runUnanswered)
            qWarning() << gRunUnansweredLine;
        else
            tkmzInterruptGuard::reportKeyboardLeftErased();
        // The updater may be at work after an unanswered Run: nothing says the
        // keyboard is without firmware.
        markAdvice(!runUnanswered);
        return 1;
    };
    tkmzInterruptGuard::enterCritical();
    terminalLine(QStringLiteral("Erasing the flash: the keyboard has no firmware until the update ends."));
    jsonStep("erase", QString());
    if (flashErase() != 0)
        return failed("Flash erase failed!", Step::Other);
    jsonStep("write", updatePath);
    if (writeFileToFlash(updatePath, update, UPDATE_FLASH_ADDRESS) != 0)
        return failed("Update write failed!", Step::Write);
    terminalLine(fitLine(QStringLiteral("Verifying "), QFileInfo(updatePath).fileName(), QString(), stepLineWidth()));
    jsonStep("verify", updatePath);
    if (verifyFlash(update, UPDATE_FLASH_ADDRESS) != 0)
        return failed("Update verification failed!", Step::Other);
    jsonStep("write", updaterPath);
    if (writeFileToFlash(updaterPath, updater, UPDATER_FLASH_ADDRESS) != 0)
        return failed("Updater write failed!", Step::UpdaterWrite);
    terminalLine(fitLine(QStringLiteral("Verifying "), QFileInfo(updaterPath).fileName(), QString(), stepLineWidth()));
    jsonStep("verify", updaterPath);
    if (verifyFlash(updater, UPDATER_FLASH_ADDRESS) != 0)
        return failed("Updater verification failed!", Step::Other);
    terminalLine(QStringLiteral("Starting the updater"));
    jsonStep("run", QString());
    if (runUpdater() != 0)
        return failed("Updater run failed!", Step::Run);
    terminalLine(QStringLiteral("Update succeeded."));
    return 0;
}

bool tkmzManagerOperation::takeUpdateFile(const QString& rPath, QByteArray& rUpdate, QStringList* pCheckedBy)
{
    jsonStep("check", rPath);
    if (checkUpdateFile(rPath) && loadUpdateFile(rPath, rUpdate, pCheckedBy))
        return true;
    qWarning() << "Invalid update file!";
    return false;
}

bool tkmzManagerOperation::takeUpdater(const QString& rUpdatePath, const QString& rUpdaterPath,
                                       QByteArray& rUpdater, QStringList* pCheckedBy)
{
    jsonStep("check", rUpdaterPath);
    return checkUpdaterName(rUpdatePath, rUpdaterPath) && loadUpdater(rUpdaterPath, rUpdater, pCheckedBy);
}

bool tkmzManagerOperation::checkUpdaterName(const QString& rUpdatePath, const QString& rUpdaterPath)
{
    // The update file given twice would be written where the updater belongs and
    // run by the keyboard.
    if (isSameFile(rUpdatePath, rUpdaterPath)) {
        qWarning() << "File" << shownPath(rUpdaterPath) << "is the update file itself!";
        qWarning() << "Invalid updater file!";
        return false;
    }
    // A checksum file given for the updater (tab completion offers the .sha256
    // that lies beside every update file) would be written at address 0 and run.
    if (isChecksumFileOf(rUpdatePath, rUpdaterPath) || holdsChecksumText(rUpdaterPath)) {
        qWarning() << "File" << shownPath(rUpdaterPath) << "is a checksum file, not an updater!";
        qWarning() << "Invalid updater file!";
        return false;
    }
    return true;
}

bool tkmzManagerOperation::loadUpdater(const QString& rPath, QByteArray& rUpdater, QStringList* pCheckedBy)
{
    if (!readInputFile(rPath, "does not exist", "is empty", rUpdater, UPDATER_SIZE_LIMIT)) {
        qWarning() << "Invalid updater file!";
        return false;
    }
    // A copy of an update file is no updater, whatever its name.
    if (isWholeUpdateFile(rUpdater)) {
        qWarning() << "File" << shownPath(rPath) << "is an update file, not an updater!";
        qWarning() << "Invalid updater file!";
        return false;
    }
    // What an erased keyboard runs is compared with its checksum files too.
    if (!checkUpdaterChecksum(rPath, rUpdater, pCheckedBy)) {
        qWarning() << "Invalid updater file!";
        return false;
    }
    return true;
}

bool tkmzManagerOperation::isUpdateNewer(const QByteArray& rUpdate)
{
    const quint8 major = quint8(rUpdate.at(2));
    const quint8 minor = quint8(rUpdate.at(3));
    if (major > mKeyboard.major || (major == mKeyboard.major && minor > mKeyboard.minor))
        return true;
    // At a terminal one line says it (updateFirmware's); elsewhere these, as always.
    if (!terminalMode()) {
        qDebug() << "Update version is the same or older than current firmware version!";
        qDebug() << "Update:  " << versionText(major, minor);
        qDebug() << "Firmware:" << versionText(mKeyboard.major, mKeyboard.minor);
    }
    return false;
}

int tkmzManagerOperation::writeFileToFlash(const QString& rPath, const QByteArray& rData, quint32 address)
{
    const qint64 size = rData.size();
    char request[WRITE_FRAME_MAX];
    qint64 offset = 0;
    // At a terminal one line, rewritten in place; elsewhere a line per chunk.
    const bool inPlace = terminalMode();
    if (inPlace)
        terminalProgress(rPath, 0, size);
    while (offset < size) {
        const int chunk = int(qMin<qint64>(FLASH_CHUNK_SIZE, size - offset));
        std::memset(request, 0, sizeof request);
        const int length = buildWriteRequest(request, qint32(address + quint32(offset)), qint16(chunk),
                                             rData.constData() + offset);
        if (length <= 0) {
            qWarning() << "Invalid request size";
            return 1;
        }
        if (!sendRequest(QByteArray::fromRawData(request, length)))
            return 1;
        if (waitForReply(Ack, WRITE_REPLY_TIMEOUT) < 0)
            return 1;

        offset += FLASH_CHUNK_SIZE;
        jsonProgress(rPath, qMin(offset, size), size);
        if (inPlace) {
            terminalProgress(rPath, qMin(offset, size), size);
            continue;
        }
        const int percent = int(qMin<double>(double(offset) * 100.0 / double(size), 100.0));
        qDebug() << "Write" << shownPath(rPath) << percent << "%";
    }
    endTerminalProgress();
    return 0;
}

int tkmzManagerOperation::verifyFlash(const QByteArray& rData, quint32 address)
{
    // A CRC covers at most 65535 bytes, on the keyboard's side as on ours (its
    // count is 16-bit): a file of 64 KiB or more is checked piece by piece, so that
    // every byte of it is compared. A smaller file is one piece, one request.
    const int size = rData.size();
    const int pieceSize = size < CRC_REACH ? size : CRC_PIECE_SIZE;
    int offset = 0;
    do {
        const int length = qMin(pieceSize, size - offset);
        quint16 fileCrc = 0;
        quint16 keyboardCrc = 0;
        const FlashMatch match =
            compareFlash(rData.constData() + offset, length, address + quint32(offset), &fileCrc, &keyboardCrc);
        if (match != FlashMatch::Same) {
            const int failure = match == FlashMatch::Differs ? VERIFY_DIFFERS : VERIFY_FAILED;
            int first = offset;
            int end = offset + length;
            if (match == FlashMatch::Differs) {
                qWarning() << "Data verification negative!";
                qWarning() << "CRC File/Flash" << Qt::hex << fileCrc << "/" << keyboardCrc;
                narrowDifference(rData, address, &first, &end);
            }
            // A piece whose check failed is named as it is; a difference, as far
            // as it was narrowed.
            if (match == FlashMatch::Differs || pieceSize < size) {
                qWarning().noquote() << QStringLiteral("Flash range 0x%1..0x%2")
                                            .arg(address + quint32(first), 0, 16)
                                            .arg(address + quint32(end - 1), 0, 16);
            }
            return failure;
        }
        offset += length;
    } while (offset < size);
    return 0;
}

void tkmzManagerOperation::narrowDifference(const QByteArray& rData, quint32 address, int* pFirst, int* pEnd)
{
    // Halving from the left, in the 1 KiB chunks a write is made of (counted from
    // the file's base): the left half is asked for; where it matches, the
    // difference lies in the right half. The chunk found last is asked for itself
    // unless its own CRC was seen to differ, so that one wrong reply never names
    // a chunk that holds the file's bytes. A request that fails, or answers that
    // disagree, leave the range as far as it was narrowed before.
    int first = *pFirst;
    int end = *pEnd;
    bool seen = true; // the range's own CRC was seen to differ
    while (end - first > FLASH_CHUNK_SIZE) {
        const int chunks = (end - first + FLASH_CHUNK_SIZE - 1) / FLASH_CHUNK_SIZE;
        const int middle = first + (chunks + 1) / 2 * FLASH_CHUNK_SIZE;
        const FlashMatch left = compareFlash(rData.constData() + first, middle - first, address + quint32(first));
        if (left == FlashMatch::Failed)
            break;
        if (left == FlashMatch::Differs) {
            end = middle;
            seen = true;
        } else {
            first = middle;
            seen = false;
        }
    }
    if (!seen && end - first <= FLASH_CHUNK_SIZE
        && compareFlash(rData.constData() + first, end - first, address + quint32(first)) != FlashMatch::Differs)
        return;
    *pFirst = first;
    *pEnd = end;
}

tkmzManagerOperation::FlashMatch tkmzManagerOperation::compareFlash(const char* pData, int length, quint32 address,
                                                                     quint16* pFileCrc, quint16* pKeyboardCrc)
{
    const quint16 fileCrc = crc16(pData, length);
    // A verification that could not ask the keyboard has failed: it must never
    // compare the file's CRC with a value nobody sent.
    char request[SHORT_FRAME_BUFFER] = {};
    const int requestLength = buildCrcRequest(request, qint32(address), length);
    if (requestLength <= 0 || !sendRequest(QByteArray::fromRawData(request, requestLength)))
        return FlashMatch::Failed;
    const int offset = waitForReply(Crc, CRC_REPLY_TIMEOUT);
    if (offset < 0)
        return FlashMatch::Failed;
    // A reply without its value bytes verifies nothing.
    const int replyValue = crcReplyValue(mReceiveBuffer.constData(), offset);
    if (replyValue < 0)
        return FlashMatch::Failed;
    if (pFileCrc != nullptr)
        *pFileCrc = fileCrc;
    if (pKeyboardCrc != nullptr)
        *pKeyboardCrc = quint16(replyValue);
    return quint16(replyValue) == fileCrc ? FlashMatch::Same : FlashMatch::Differs;
}

} // namespace ZRN
