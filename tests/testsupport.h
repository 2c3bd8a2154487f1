#ifndef KMZ_TESTSUPPORT_H
#define KMZ_TESTSUPPORT_H

#include "kmzsupport.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace kmztest {

// The messages the tests wait for, in one place: .ci/windows-check reads them
// from here too.

// The last line of an update that failed from the erase on.
constexpr char ERASED_LINE[] = "The keyboard is left without working firmware. Run the same update again, with "
                               "force if the keyboard now reports the update's version.";
// The last line when the keyboard refused a Write, which it will again at every try.
constexpr char REFUSED_WRITE_LINE[] = "The keyboard is left without working firmware. It refused a Write: this "
                                      "update does not fit its flash or is refused by it, and will be at every try. "
                                      "Run an update this keyboard took before, with force, to bring it back.";
// The last line when the keyboard refused a Write of the updater, the update
// written and verified.
constexpr char REFUSED_UPDATER_LINE[] = "The keyboard is left without working firmware. The update was written and "
                                        "verified, but the keyboard refused the updater: run the same update with "
                                        "an updater this keyboard takes, with force, to bring it back.";
// The last line when Run went out and its answer did not come back.
constexpr char RUN_UNANSWERED_LINE[] = "The updater was written and verified, and may be running already: only its "
                                       "answer to Run was lost. Wait a minute, then check the keyboard with --i "
                                       "before running anything.";

// The line of an interrupt held from the erase on.
constexpr char HELD_LINE[] = "Interrupted: the update goes on to its end, so that the keyboard is not left erased. "
                             "Interrupt again to stop at once.";
// On the terminal, once a held update has ended: the exit code follows.
constexpr char WENT_ON_LINE[] = "The update went on after the interrupt and has ended with exit code ";

struct RunResult
{
    int exitCode = -1;  // -1 when it did not end normally
    int signal = 0;     // the signal that ended it, if one did
    bool finished = false;
    QStringList errLines; // stderr, one entry per line
    QByteArray out;
    qint64 elapsedMs = 0;
};

// Starts a program with Qt's message formatting and logging rules left at their
// defaults, whatever the environment of the test says: every test that starts a
// program starts it through here, so that its output can be compared byte for byte.
void start(QProcess& rProcess, const QString& rProgram, const QStringList& rArguments);
// The same, with the serial driver's flags answered from rFlagsFile (a pseudo-
// terminal has none): the file holds the flags the tool leaves the driver with.
void startWithSerialFlags(QProcess& rProcess, const QString& rProgram, const QStringList& rArguments,
                          const QString& rFlagsFile);
// Waits until the process holds the file open (a port, say), at most limitMs.
bool waitUntilOpened(const QProcess& rProcess, const QString& rPath, int limitMs = 5000);

// Runs a program with Qt's message formatting left at its default, within timeoutMs.
RunResult run(const QString& rProgram, const QStringList& rArguments, const QString& rWorkDir = QString(),
              int timeoutMs = 30000);
RunResult runKmzflash(const QStringList& rArguments, const QString& rWorkDir = QString(), int timeoutMs = 30000);
// Runs kmzflash with standard error on a pseudo-terminal of its own, as a person
// at a terminal sees it, with QT_MESSAGE_PATTERN set to rPattern (empty: unset):
// out holds what the terminal showed.
// columns > 0: the terminal's width.
RunResult runKmzflashAtTerminal(const QStringList& rArguments, const QString& rPattern = QString(),
                                int timeoutMs = 20000, int columns = 0);
// Starts kmzflash without waiting for it, with the same environment as run().
void startKmzflash(QProcess& rProcess, const QStringList& rArguments);
// Waits for a started process; the same result as run() gives.
RunResult finish(QProcess& rProcess, int timeoutMs = 30000);

// Qt's lock files for a serial device name that exist now (none once every
// program that opened the port has let it go).
QStringList portLockFiles(const QString& rPort);

// What a test puts under an input path: nothing, the given bytes (none: an empty
// file), a directory, a pipe, or a sparse file of a given size with magic keys
// at both ends.
enum class Input { Missing, Bytes, Directory, Pipe, Sparse };
bool makeInput(const QString& rPath, Input kind, const QByteArray& rBytes = QByteArray(), qint64 size = 0);

QByteArray fromHex(const char* pHex);
// A firmware image of size bytes that holds the marker.
QByteArray firmwareImage(int size, quint32 seed = 1);
bool writeFile(const QString& rPath, const QByteArray& rData);
QByteArray readFile(const QString& rPath);

// A run's stderr without its progress lines ("Write \"file\" N %").
QStringList withoutProgress(const QStringList& rLines);
// kbdsim's log of a whole update: GetInfo, Erase, the update's Writes from 0x4000
// and its Crc requests (one over the whole file unless the caller writes them
// out), the updater's Writes from 0 and its Crc, Run.
QStringList updateRequests(int updateSize, int updaterSize, const QStringList& rUpdateChecks = QStringList());

// CRC-16/XMODEM over all the bytes, worked out apart from the tools.
quint16 crcXmodem(const QByteArray& rData);

// A kbdsim process on its own pseudo-terminal, with its request log and flash dump.
class Sim
{
public:
    explicit Sim(const QStringList& rArguments = QStringList());
    ~Sim();

    bool started() const { return !mPort.isEmpty(); }
    QString port() const { return mPort; }
    // Stops the simulator (if still running) and collects what it saw and holds.
    void stop();
    QStringList requests();   // request log lines, read so far
    QStringList requestsWithoutFaults(); // the same, without the " fault=..." marks
    QByteArray flash();       // after stop()
    int exitCode() const { return mExitCode; }
    QString dir() const { return mDir.path(); }

private:
    QTemporaryDir mDir;
    QProcess mProcess;
    QString mPort;
    int mExitCode = -1;
};

// A raw pseudo-terminal pair whose master end the test drives.
class Pty
{
public:
    Pty();
    ~Pty();
    bool isOpen() const { return mMaster >= 0; }
    QString slavePath() const { return mSlavePath; }
    // Both ends share the line's settings: either one reads what the other holds.
    int masterFd() const { return mMaster; }
    int slaveFd() const { return mSlave; }
    bool write(const QByteArray& rData);
    // The width the terminal reports, as a resized window would set it.
    bool setColumns(int columns);
    // Reads until quietMs without bytes after the first one, or limitMs in all.
    QByteArray readAnswer(int quietMs, int limitMs);

private:
    int mMaster = -1;
    int mSlave = -1;
    QString mSlavePath;
};

} // namespace kmztest

Q_DECLARE_METATYPE(kmztest::Input)

#endif
