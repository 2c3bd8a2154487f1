#ifndef ZRN_TKMZMANAGEROPERATION_H
#define ZRN_TKMZMANAGEROPERATION_H

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

namespace ZRN {

class tkmzManagerCommunication;

// Flash layout and limits of an update.
constexpr quint32 UPDATE_FLASH_ADDRESS = 0x4000;
constexpr quint32 UPDATER_FLASH_ADDRESS = 0;
constexpr qint32 UPDATER_SIZE_LIMIT = 0x4000;
constexpr int FLASH_CHUNK_SIZE = 1024;

// Reply time limits, in milliseconds.
constexpr int INFO_REPLY_TIMEOUT = 2000;
constexpr int ERASE_REPLY_TIMEOUT = 2000;
constexpr int RUN_REPLY_TIMEOUT = 2000;
constexpr int CRC_REPLY_TIMEOUT = 2000;
constexpr int WRITE_REPLY_TIMEOUT = 15000;

// The argument at index, or a null string when the index lies outside the list.
QString argumentAt(const QStringList& rArguments, int index);

// The connected keyboard, as the last successful getFirmwareInfo read it.
QString keyboardVersion();
quint8 keyboardMajor();
quint8 keyboardMinor();
void setKeyboardVersion(const QString& rVersion);
void setKeyboardMajor(quint8 major);
void setKeyboardMinor(quint8 minor);

// "1.05": the major as is, the minor with at least two digits.
QString versionText(quint8 major, quint8 minor);

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

    // Keyboard exchanges.
    bool sendRequest(const QByteArray& rRequest);
    int waitForReply(int expectedType, qint32 timeLimitMs);
    bool connectPort(const QStringList& rArguments);
    int getFirmwareInfo();
    int flashErase();
    int runUpdater();

    // Update files.
    int generateUpdateFile(const QStringList& rArguments);
    quint8 readFileByte(const QString& rPath, quint32 offset);

    // Update procedure.
    int updateFirmware(const QStringList& rArguments);
    bool checkUpdateFile(const QString& rPath);
    bool isUpdateNewer(const QString& rPath);
    int writeFileToFlash(const QString& rPath, quint32 address, qint32 limit);
    int verifyFlash(const QString& rPath, quint32 address);

    // Newest update file in a directory.
    int updateFirmwareWithSearch(const QStringList& rArguments);
    QString findLatestUpdateFile(const QString& rDirectory);

private slots:
    void slotDataRecived(const QByteArray& rData);

private:
    // Reads a file whole (at most maxBytes when that is positive), reporting a
    // missing, unreadable or empty file with "File", path, pMissing or pEmpty (the
    // wording differs from step to step). *pSize gets the file's size on disk.
    bool readInputFile(const QString& rPath, const char* pMissing, const char* pEmpty, QByteArray& rData,
                       qint64 maxBytes = 0, qint64* pSize = nullptr);
    // Reads a file that goes into the flash whole, with the messages of a failed
    // write step. False (after its message) when missing, unreadable, empty or
    // larger than a positive limit.
    bool loadFlashFile(const QString& rPath, qint32 limit, QByteArray& rData);
    // One exchange of a short request: send, then wait for the reply type.
    int exchange(const char* pRequest, int size, int replyType, qint32 timeLimitMs);

    tkmzManagerCommunication* mpCommunication;
    QByteArray mReceiveBuffer;
};

} // namespace ZRN

#endif
