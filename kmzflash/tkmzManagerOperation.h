#ifndef ZRN_TKMZMANAGEROPERATION_H
#define ZRN_TKMZMANAGEROPERATION_H

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

class QFile;

namespace ZRN {

class tkmzManagerCommunication;

// The one operation object of kmzflash. Its member functions are spread over
// one unit per concern: dispatch and usage, keyboard exchanges, and the update
// units (generate, update, search).
class tkmzManagerOperation : public QObject
{
    Q_OBJECT

public:
    explicit tkmzManagerOperation(QObject* pParent = nullptr);
    ~tkmzManagerOperation() override;

    int dispatch(const QStringList& rArguments);
    void printUsage();
    // The argument at index, or a null string when the index lies outside the list.
    static QString argumentAt(const QStringList& rArguments, int index);

    // Keyboard exchanges.
    bool sendRequest(const QByteArray& rRequest);
    int waitForReply(int expectedType, qint32 timeLimitMs);
    bool connectPort(const QStringList& rArguments);
    // Closes the port, releasing it and its lock file.
    void disconnectPort();
    int getFirmwareInfo();
    int flashErase();
    int runUpdater();

    // Update files.
    int generateUpdateFile(const QStringList& rArguments);
    // Writes the update file and its checksum file (<path>.sha256) whole, then
    // puts both in place.
    int saveUpdateFiles(const QString& rUpdatePath, quint8 major, quint8 minor, const QByteArray& rImage);
    quint8 readFileByte(const QString& rPath, quint32 offset);

    // Update procedure. The update file is checked on disk, then read whole and
    // checked again in memory; the write and verify steps take those bytes.
    int updateFirmware(const QStringList& rArguments);
    bool checkUpdateFile(const QString& rPath);
    // *pCheckedBy (if given): the checksum files that matched the file.
    bool loadUpdateFile(const QString& rPath, QByteArray& rData, QStringList* pCheckedBy = nullptr);
    // The checks on the bytes read (head and tail, magic keys, the image CRC, the
    // firmware marker); rPath names the file in the messages.
    static bool checkUpdateData(const QString& rPath, const QByteArray& rData);
    // A name of the form PNL640_<major>_<minor>.upd must name the version in the
    // file's head.
    static bool checkUpdateName(const QString& rPath, const QByteArray& rData);
    // Compares the bytes with every checksum file found for them: <name>.sha256 or
    // a SHA256SUMS line, beside the path and beside the file a link resolves to.
    // Without one, says when the image CRC leaves part of the image unseen.
    static bool checkUpdateChecksum(const QString& rPath, const QByteArray& rData,
                                    QStringList* pCheckedBy = nullptr);
    // The same comparison for the updater, which an erased keyboard runs; nothing
    // is said when no checksum file is found for it.
    static bool checkUpdaterChecksum(const QString& rPath, const QByteArray& rData,
                                     QStringList* pCheckedBy = nullptr);
    // True when rCandidate is one of the checksum files looked for beside the
    // file at rPath (found or not).
    static bool isChecksumFileOf(const QString& rPath, const QString& rCandidate);
    // True when the file at rPath reads as a checksum file's text (looked at only
    // when it is a regular file of an updater's size at most).
    static bool holdsChecksumText(const QString& rPath);
    // After --g: a line of the folder's SHA256SUMS for the file made, with another
    // digest than rDigest, is said to disagree now.
    static void reportDisagreeingList(const QString& rPath, const QByteArray& rDigest);
    bool isUpdateNewer(const QByteArray& rUpdate);
    // rPath names the file in the progress lines.
    int writeFileToFlash(const QString& rPath, const QByteArray& rData, quint32 address);
    // Compares the keyboard's CRC of the flash with that of the file, over the
    // whole file; a difference is narrowed to the first 1 KiB chunk that differs
    // and named. 0: the same; VERIFY_FAILED: a request failed; VERIFY_DIFFERS.
    static constexpr int VERIFY_FAILED = 1;
    static constexpr int VERIFY_DIFFERS = 2;
    int verifyFlash(const QByteArray& rData, quint32 address);
    // The update file checked on disk, read whole and checked again ("Invalid
    // update file!" when it is refused); *pCheckedBy: its checksum files.
    bool takeUpdateFile(const QString& rPath, QByteArray& rUpdate, QStringList* pCheckedBy = nullptr);
    // The updater's checks before the keyboard is asked anything: not the update
    // file itself, no checksum file.
    static bool checkUpdaterName(const QString& rUpdatePath, const QString& rUpdaterPath);
    // Reads the updater whole and checks it: no update file, its checksum files.
    bool loadUpdater(const QString& rPath, QByteArray& rUpdater, QStringList* pCheckedBy = nullptr);
    // Both, for --v and --c, which ask the keyboard nothing in between.
    bool takeUpdater(const QString& rUpdatePath, const QString& rUpdaterPath, QByteArray& rUpdater,
                     QStringList* pCheckedBy = nullptr);

    // Verify without writing (--v): the files checked as --u checks them, then
    // the keyboard's CRC of its flash compared with them.
    int verifyKeyboard(const QStringList& rArguments);
    // Check files without a keyboard (--c): what --u would find, on standard
    // output.
    int checkFiles(const QStringList& rArguments);

    // Newest update file in a directory.
    int updateFirmwareWithSearch(const QStringList& rArguments);
    QString findLatestUpdateFile(const QString& rDirectory);

private slots:
    void slotDataRecived(const QByteArray& rData);

private:
    // Reply time limits, in milliseconds.
    static constexpr int INFO_REPLY_TIMEOUT = 2000;
    static constexpr int ERASE_REPLY_TIMEOUT = 2000;
    static constexpr int RUN_REPLY_TIMEOUT = 2000;
    static constexpr int CRC_REPLY_TIMEOUT = 2000;
    static constexpr int WRITE_REPLY_TIMEOUT = 15000;

    // The connected keyboard, as the last successful getFirmwareInfo read it.
    struct KeyboardRecord
    {
        QString version;
        quint8 major = 0;
        quint8 minor = 0;
    };

    // Opens a file for reading only when it is a regular file: a pipe or a device
    // could block the open or never end. Otherwise *pReason says why not.
    static bool openRegularFile(QFile& rFile, QString* pReason);
    // Compares the bytes with every checksum file found for the file at rPath
    // (update: the update file's words, else the updater's). *pCheckedBy: those
    // found that matched; *pListWithoutLine: a SHA256SUMS without a line for it.
    static bool checkChecksums(const QString& rPath, const QByteArray& rData, bool update, QStringList* pCheckedBy,
                               QString* pListWithoutLine);
    // Reads a regular file of at most limit bytes whole, reporting a missing,
    // unopenable, empty or oversized file with "File", path, pMissing or pEmpty
    // (the wording differs from step to step) and the others' own messages.
    bool readInputFile(const QString& rPath, const char* pMissing, const char* pEmpty, QByteArray& rData,
                       qint64 limit);
    // After a failed send or during a wait: when the line has gone away, says so
    // with the system's reason and returns true.
    bool reportLostLine();
    // One exchange of a short request: send, then wait for the reply type.
    int exchange(const char* pRequest, int size, int replyType, qint32 timeLimitMs);
    // One Crc request for the length bytes at pData, which the flash holds at
    // address: whether the keyboard's CRC is the file's, or the request failed.
    enum class FlashMatch { Same, Differs, Failed };
    FlashMatch compareFlash(const char* pData, int length, quint32 address, quint16* pFileCrc = nullptr,
                            quint16* pKeyboardCrc = nullptr);
    // Narrows the bytes [*pFirst, *pEnd) of rData, which the flash at address was
    // seen to hold otherwise, to the first differing chunk, by further requests.
    void narrowDifference(const QByteArray& rData, quint32 address, int* pFirst, int* pEnd);

    // How the last exchange failed, if it did: a failure from the erase on is
    // advised on by it.
    enum Failure { NoFailure, NotSent, Refused, Unanswered };

    tkmzManagerCommunication* mpCommunication;
    QByteArray mReceiveBuffer;
    QByteArray mLastRequest; // the request the current wait answers
    Failure mLastFailure = NoFailure;
    KeyboardRecord mKeyboard;
};

} // namespace ZRN

#endif
