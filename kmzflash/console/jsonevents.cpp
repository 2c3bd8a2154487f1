#include "jsonevents.h"

#include "guard/tkmzInterruptGuard.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

#include <atomic>
#include <cstdio>
#include <cstring>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace ZRN {

namespace {

bool gJson = false;
QStringList gMessages;
int gAdvice = -1; // the index of the advice in gMessages, -1: none
bool gLeftErased = false; // the advice says the keyboard is left erased
QString gStep;
QString gPort; // as given, for the end object: one record per keyboard
bool gSkipped = false;
bool gEnded = false;

// The interrupted end, made at each step: its start, and its rest for a stop
// that leaves the keyboard erased or not. The exit code goes between.
constexpr size_t END_CAPACITY = 256 * 1024;
char gEndStart[] = "{\"event\":\"end\",\"exit_code\":";
char gEndErased[END_CAPACITY];
char gEndKept[END_CAPACITY];
std::atomic<size_t> gEndErasedLength{0};
std::atomic<size_t> gEndKeptLength{0};

// An empty text is one not known.
QJsonValue nullable(const QString& rText)
{
    return rText.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(rText);
}

void writeBytes(const char* pBytes, size_t length)
{
#ifdef Q_OS_WIN
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), pBytes, DWORD(length), &written, nullptr);
#else
    while (length > 0) {
        const ssize_t written = ::write(STDOUT_FILENO, pBytes, length);
        if (written <= 0)
            return;
        pBytes += written;
        length -= size_t(written);
    }
#endif
}

// The rest of an end object, after its exit code.
QByteArray endRest(const char* pResult, const QStringList& rMessages, bool erased, const QString& rAdvice)
{
    QJsonObject rest;
    rest.insert(QStringLiteral("result"), QLatin1String(pResult));
    rest.insert(QStringLiteral("port"), nullable(gPort));
    rest.insert(QStringLiteral("failed_step"), nullable(gStep));
    rest.insert(QStringLiteral("messages"), QJsonArray::fromStringList(rMessages));
    rest.insert(QStringLiteral("keyboard_left_erased"), erased);
    rest.insert(QStringLiteral("advice"), nullable(rAdvice));
    // {"advice":...} without its opening brace, after the exit code.
    QByteArray text = QJsonDocument(rest).toJson(QJsonDocument::Compact);
    text[0] = ',';
    return text + '\n';
}

void store(const QByteArray& rText, char* pBuffer, std::atomic<size_t>& rLength)
{
    rLength = 0;
    if (size_t(rText.size()) > END_CAPACITY)
        return;
    std::memcpy(pBuffer, rText.constData(), size_t(rText.size()));
    rLength = size_t(rText.size());
}

} // namespace

void enableJson()
{
    gJson = true;
}

bool jsonMode()
{
    return gJson;
}

void startJson(const QString& rOperation, const QString& rPort, const QStringList& rFiles)
{
    if (!gJson)
        return;
    gPort = rPort;
    QJsonArray files;
    for (const QString& rPath : rFiles) {
        QJsonObject file{{QStringLiteral("path"), rPath}};
        QFile data(rPath);
        const QFileInfo info(rPath);
        // Only a regular file is read; a FIFO could block for good.
        if (info.isFile() && data.open(QIODevice::ReadOnly)) {
            QCryptographicHash hash(QCryptographicHash::Sha256);
            if (hash.addData(&data)) {
                file.insert(QStringLiteral("size"), double(info.size()));
                file.insert(QStringLiteral("sha256"), QString::fromLatin1(hash.result().toHex()));
            }
        }
        files << file;
    }
    writeJsonEvent({{QStringLiteral("event"), QStringLiteral("start")},
                    {QStringLiteral("version"), QStringLiteral(KMZ_VERSION)},
                    {QStringLiteral("operation"), rOperation},
                    {QStringLiteral("port"), nullable(rPort)},
                    {QStringLiteral("files"), files}});
    prepareInterruptedEnd();
}

void writeJsonEvent(const QJsonObject& rEvent)
{
    if (!gJson)
        return;
    const QByteArray line = QJsonDocument(rEvent).toJson(QJsonDocument::Compact) + '\n';
    std::fflush(stdout);
    writeBytes(line.constData(), size_t(line.size()));
}

void jsonKeyboard(const QString& rVersionText, int major, int minor)
{
    writeJsonEvent({{QStringLiteral("event"), QStringLiteral("keyboard")},
                    {QStringLiteral("version_text"), rVersionText},
                    {QStringLiteral("major"), major},
                    {QStringLiteral("minor"), minor}});
}

void jsonStep(const char* pStep, const QString& rFile)
{
    if (!gJson)
        return;
    gStep = QLatin1String(pStep);
    writeJsonEvent({{QStringLiteral("event"), QStringLiteral("step")},
                    {QStringLiteral("step"), gStep},
                    {QStringLiteral("file"), nullable(rFile)}});
    prepareInterruptedEnd();
}

void jsonProgress(const QString& rFile, qint64 written, qint64 total)
{
    writeJsonEvent({{QStringLiteral("event"), QStringLiteral("progress")},
                    {QStringLiteral("file"), rFile},
                    {QStringLiteral("written"), double(written)},
                    {QStringLiteral("total"), double(total)}});
}

void jsonSkipped()
{
    gSkipped = true;
}

void markAdvice(bool leftErased)
{
    gAdvice = int(gMessages.size()) - 1;
    gLeftErased = leftErased;
}

void noteMessage(const QString& rLine)
{
    if (gJson)
        gMessages << rLine;
}

void endJson(int exitCode)
{
    if (!gJson || gEnded)
        return;
    gEnded = true;
    const bool failed = exitCode != 0;
    const QString advice = failed && gAdvice >= 0 ? gMessages.value(gAdvice) : QString();
    const bool erased = failed && gAdvice >= 0 && gLeftErased;
    if (!failed)
        gStep.clear();
    const char* pResult = failed ? "failed" : gSkipped ? "skipped" : "succeeded";
    const QByteArray line = QByteArray(gEndStart) + QByteArray::number(exitCode)
                            + endRest(pResult, gMessages, erased, advice);
    std::fflush(stdout);
    writeBytes(line.constData(), size_t(line.size()));
}

void prepareInterruptedEnd()
{
    if (!gJson)
        return;
    store(endRest("interrupted", gMessages, false, QString()), gEndKept, gEndKeptLength);
    const QString erasedLine = QLatin1String(tkmzInterruptGuard::keyboardLeftErasedLine());
    store(endRest("interrupted", gMessages + QStringList{erasedLine}, true, erasedLine), gEndErased,
          gEndErasedLength);
}

void writeInterruptedEnd(int exitCode, bool erased)
{
    if (!gJson || gEnded)
        return;
    gEnded = true;
    // Only what is safe in a signal handler: the prepared bytes, and the exit code
    // written out by hand.
    char number[16];
    size_t length = 0;
    unsigned value = exitCode < 0 ? 0u : unsigned(exitCode);
    do {
        number[sizeof number - 1 - length++] = char('0' + value % 10);
        value /= 10;
    } while (value != 0 && length < sizeof number);
    const size_t restLength = erased ? gEndErasedLength.load() : gEndKeptLength.load();
    writeBytes(gEndStart, sizeof gEndStart - 1);
    writeBytes(number + sizeof number - length, length);
    if (restLength == 0) {
        static const char minimal[] = ",\"result\":\"interrupted\"}\n";
        writeBytes(minimal, sizeof minimal - 1);
        return;
    }
    writeBytes(erased ? gEndErased : gEndKept, restLength);
}

} // namespace ZRN
