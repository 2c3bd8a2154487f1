#include "tkmzManagerOperation.h"

#include "console/jsonevents.h"
#include "ports.h"
#include "update/format.h"
#include "tcPointerChecker.h"
#include "tkmzManagerCommunication.h"

#include <QCoreApplication>
#include <QDebug>
#include <QMap>
#include <QPair>

#include <cstdio>
#include <new>


namespace ZRN {

namespace {

// The usage text, one message per item (the first starts with a blank line).
const char* const gUsage[] = {
    "\nUsage - kmzflash.exe [operation] [arguments]",
    "serial    - serial port used for communication with keyboard, e.g. COM1",
    "operation - operation type",
    "arguments - operation arguments",
    "\nSupported operations",
    "--g\tGenerate update file. Arguments: [firmware file] [update file] [version major] [version minor]",
    "--h\tShows help.",
    "--i\tGets firmware version info. Arguments: [serial]",
    "--l\tLists serial ports.",
    "--u\tUpdate firmware. Arguments: [serial] [update file] [updater file]",
    "--us\tUpdate firmware with search for latest version. Arguments: [serial] [updater file]",
};

// What --help adds to the usage.
const char* const gHelpMore[] = {
    "--v\tVerifies the keyboard's flash against update files without writing to it. Arguments: [serial] [update "
    "file] [updater file, if wanted]",
    "--c\tChecks update files as --u would, without a keyboard. Arguments: [update file] [updater file, if wanted]",
    "--help\tShows this help on standard output (also -h, and /? on Windows).",
    "--version\tShows the version of kmzflash.",
    "\nOptions",
    "force\tAs the last argument of --u or --us: updates even when the update is not newer than the keyboard's "
    "firmware, e.g. to bring back an erased keyboard.",
    "--json\tAs the first argument: also writes JSON Lines on standard output, one object per event, the last "
    "one how the run ended.",
    "usb:<serial number>\tAs the serial port: the one port whose USB adapter has that serial number, as --l "
    "shows it.",
};

void printToStandardOutput(const QByteArray& rText)
{
    std::fwrite(rText.constData(), 1, size_t(rText.size()), stdout);
    std::fflush(stdout);
}

bool isHelpRequest(const QString& rWord)
{
#ifdef Q_OS_WIN
    // Windows' own programs answer /? with their help.
    if (rWord == QLatin1String("/?"))
        return true;
#endif
    return rWord == QLatin1String("--help") || rWord == QLatin1String("-h");
}

} // namespace

QString tkmzManagerOperation::argumentAt(const QStringList& rArguments, int index)
{
    if (index < 0 || index >= rArguments.size())
        return QString();
    return rArguments.at(index);
}

tkmzManagerOperation::tkmzManagerOperation(QObject* pParent)
    : QObject(pParent)
{
    tcPointerChecker checker(this);
    checker.addPointer(mpCommunication);
    // Non-throwing, so that a failed allocation reaches the guard.
    mpCommunication = new (std::nothrow) tkmzManagerCommunication(this);
    checker.checkPointers();
    QObject::connect(mpCommunication, SIGNAL(signalDataRecieved(QByteArray)), this,
                     SLOT(slotDataRecived(QByteArray)));
}

tkmzManagerOperation::~tkmzManagerOperation() = default;

void tkmzManagerOperation::slotDataRecived(const QByteArray& rData)
{
    mReceiveBuffer.append(rData);
}

int tkmzManagerOperation::dispatch(const QStringList& rArguments)
{
    if (rArguments.size() < 2) {
        qWarning() << "Invalid argument count!";
        printUsage();
        return 1;
    }

    const QString operation = argumentAt(rArguments, 1);
    if (jsonMode()) {
        // Which arguments are the port and the files, by operation.
        const QMap<QString, QPair<int, QList<int>>> places = {
            {QStringLiteral("--g"), {-1, {2, 3}}},  {QStringLiteral("--i"), {2, {}}},
            {QStringLiteral("--u"), {2, {3, 4}}},   {QStringLiteral("--us"), {2, {3}}},
            {QStringLiteral("--v"), {2, {3, 4}}},   {QStringLiteral("--c"), {-1, {2, 3}}},
        };
        const QPair<int, QList<int>> place = places.value(operation, qMakePair(-1, QList<int>()));
        QStringList files;
        for (const int index : place.second) {
            if (!argumentAt(rArguments, index).isEmpty())
                files << argumentAt(rArguments, index);
        }
        startJson(operation, argumentAt(rArguments, place.first), files);
    }
    int result = 1;
    if (operation == QLatin1String("--h")) {
        printUsage();
        result = 0;
    } else if (isHelpRequest(operation)) {
        // Where people look for help: the usage on standard output, for a pager,
        // and what it leaves out.
        QByteArray text;
        for (const char* pLine : gUsage)
            text += QByteArray(pLine) + '\n';
        for (const char* pLine : gHelpMore)
            text += QByteArray(pLine) + '\n';
        printToStandardOutput(text);
        result = 0;
    } else if (operation == QLatin1String("--version")) {
        printToStandardOutput(QByteArrayLiteral("kmzflash " KMZ_VERSION "\n"));
        result = 0;
    } else if (operation == QLatin1String("--l")) {
        result = listPorts();
    } else if (operation == QLatin1String("--g")) {
        result = generateUpdateFile(rArguments);
    } else if (operation == QLatin1String("--i")) {
        if (connectPort(rArguments)) {
            jsonStep("version", QString());
            result = getFirmwareInfo();
            if (result == 0) {
                qDebug() << "Keyboard:" << mKeyboard.version;
                qDebug() << "Version: " << versionText(mKeyboard.major, mKeyboard.minor);
            } else {
                // A refusal or a short reply prints nothing of its own.
                qWarning() << "Get firmware info failed!";
            }
            disconnectPort();
        }
    } else if (operation == QLatin1String("--u")) {
        if (connectPort(rArguments)) {
            result = updateFirmware(rArguments);
            disconnectPort();
        }
    } else if (operation == QLatin1String("--v") || operation == QLatin1String("--c")) {
        // The updater is optional: an update file alone is verified or checked.
        const bool verify = operation == QLatin1String("--v");
        const int files = rArguments.size() - (verify ? 3 : 2);
        if (files < 1 || files > 2) {
            qWarning() << "Invalid argument count!";
            printUsage();
        } else if (!verify) {
            result = checkFiles(rArguments);
        } else if (connectPort(rArguments)) {
            result = verifyKeyboard(rArguments);
            disconnectPort();
        }
    } else if (operation == QLatin1String("--us")) {
        if (connectPort(rArguments)) {
            result = updateFirmwareWithSearch(rArguments);
            disconnectPort();
        }
    } else {
        qWarning() << "Unsupported operation" << operation;
        printUsage();
        result = 1;
    }

    QCoreApplication::processEvents();
    return result;
}

void tkmzManagerOperation::printUsage()
{
    for (const char* pLine : gUsage)
        qDebug() << pLine;
}

} // namespace ZRN
