#include "progress.h"

#include "messages.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QStringList>
#include <QTextBoundaryFinder>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include <algorithm>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace ZRN {

namespace {

// The columns of the open progress line, 0 when none is open; atomic, as a signal handler reads it.
std::atomic<int> gProgressLength{0};
QString gProgressName;
QElapsedTimer gProgressTime;
ProgressClock gProgressClock; // of the file being written: one clock per file

// East Asian wide (W) and full-width (F) characters, in order: two columns each.
struct Range
{
    char32_t first;
    char32_t last;
};
constexpr Range WIDE[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},   {0x23F0, 0x23F0},
    {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},   {0x2648, 0x2653},   {0x267F, 0x267F},
    {0x2693, 0x2693},   {0x26A1, 0x26A1},   {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},
    {0x26CE, 0x26CE},   {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F3},   {0x26F5, 0x26F5},
    {0x26FA, 0x26FA},   {0x26FD, 0x26FD},   {0x2705, 0x2705},   {0x270A, 0x270B},   {0x2728, 0x2728},
    {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},   {0x2757, 0x2757},   {0x2795, 0x2797},
    {0x27B0, 0x27B0},   {0x27BF, 0x27BF},   {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},   {0x2B55, 0x2B55},
    {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},
    {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},
    {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x16FE0, 0x16FE4}, {0x17000, 0x18CFF}, {0x1B000, 0x1B2FF},
    {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF}, {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A}, {0x1F200, 0x1F251},
    {0x1F300, 0x1F320}, {0x1F32D, 0x1F335}, {0x1F337, 0x1F37C}, {0x1F37E, 0x1F393}, {0x1F3A0, 0x1F3CA},
    {0x1F3CF, 0x1F3D3}, {0x1F3E0, 0x1F3F0}, {0x1F3F4, 0x1F3F4}, {0x1F3F8, 0x1F43E}, {0x1F440, 0x1F440},
    {0x1F442, 0x1F4FC}, {0x1F4FF, 0x1F53D}, {0x1F54B, 0x1F54E}, {0x1F550, 0x1F567}, {0x1F57A, 0x1F57A},
    {0x1F595, 0x1F596}, {0x1F5A4, 0x1F5A4}, {0x1F5FB, 0x1F64F}, {0x1F680, 0x1F6C5}, {0x1F6CC, 0x1F6CC},
    {0x1F6D0, 0x1F6D2}, {0x1F6D5, 0x1F6D7}, {0x1F6EB, 0x1F6EC}, {0x1F6F4, 0x1F6FC}, {0x1F7E0, 0x1F7EB},
    {0x1F90C, 0x1F93A}, {0x1F93C, 0x1F945}, {0x1F947, 0x1F9FF}, {0x1FA70, 0x1FAFF}, {0x20000, 0x2FFFD},
    {0x30000, 0x3FFFD},
};

int codePointColumns(char32_t codePoint)
{
    const QChar::Category category = QChar::category(codePoint);
    // Combining marks, format characters (a zero-width joiner) and Hangul's
    // medial vowels and final consonants join the character before them.
    if (category == QChar::Mark_NonSpacing || category == QChar::Mark_Enclosing || category == QChar::Other_Format
        || (codePoint >= 0x1160 && codePoint <= 0x11FF))
        return 0;
    for (const Range& rRange : WIDE) {
        if (codePoint < rRange.first)
            break;
        if (codePoint <= rRange.last)
            return 2;
    }
    return 1;
}

// The text's whole characters (graphemes: a letter with its marks, an emoji of
// several code points) with the columns each takes: the widest of its code points.
QList<QPair<QString, int>> characters(const QString& rText)
{
    QList<QPair<QString, int>> result;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, rText);
    int start = 0;
    while (finder.toNextBoundary() > 0) {
        const QString character = rText.mid(start, finder.position() - start);
        int columns = 0;
        for (const char32_t codePoint : character.toUcs4())
            columns = qMax(columns, codePointColumns(codePoint));
        result << qMakePair(character, columns);
        start = finder.position();
    }
    return result;
}

// The longest start (fromEnd: end) of the text within the columns.
QString withinColumns(const QString& rText, int columns, bool fromEnd)
{
    QList<QPair<QString, int>> all = characters(rText);
    if (fromEnd)
        std::reverse(all.begin(), all.end());
    QStringList kept;
    int used = 0;
    for (const auto& rCharacter : all) {
        if (used + rCharacter.second > columns)
            break;
        used += rCharacter.second;
        kept << rCharacter.first;
    }
    if (fromEnd)
        std::reverse(kept.begin(), kept.end());
    return kept.join(QString());
}

// Whether the old line is cleared to its end by the terminal (ANSI's erase in
// line) rather than covered with blanks: not at a Windows console, nor at a
// terminal that says it knows no such thing.
bool clearsToEnd()
{
#ifdef Q_OS_WIN
    return false;
#else
    static const bool clears = qgetenv("TERM") != "dumb";
    return clears;
#endif
}

} // namespace

int textColumns(const QString& rText)
{
    int columns = 0;
    for (const auto& rCharacter : characters(rText))
        columns += rCharacter.second;
    return columns;
}

QString shownName(const QString& rName)
{
    QString shown;
    for (const QChar character : rName) {
        const ushort code = character.unicode();
        if (code == '\n')
            shown += QLatin1String("\\n");
        else if (code == '\r')
            shown += QLatin1String("\\r");
        else if (code == '\t')
            shown += QLatin1String("\\t");
        else if (code < 0x20 || (code >= 0x7F && code < 0xA0))
            shown += QStringLiteral("\\x%1").arg(code, 2, 16, QLatin1Char('0'));
        else
            shown += character;
    }
    return shown;
}

int terminalColumns()
{
#ifdef Q_OS_WIN
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (::GetConsoleScreenBufferInfo(::GetStdHandle(STD_ERROR_HANDLE), &info))
        return info.srWindow.Right - info.srWindow.Left + 1;
#else
    struct winsize size = {};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
#endif
    return 80;
}

int stepLineWidth()
{
    return qMin(STEP_LINE_WIDTH, terminalColumns()) - 1;
}

void terminalLine(const QString& rText)
{
    if (!terminalMode())
        return;
    endTerminalProgress();
    writeText(stderr, rText + QLatin1Char('\n'));
}

void ProgressClock::sample(qint64 done, qint64 nowMs)
{
    if (mFirstMs < 0)
        mFirstMs = nowMs;
    mSamples << qMakePair(done, nowMs);
    while (mSamples.size() > 9)
        mSamples.removeFirst();
}

qint64 ProgressClock::secondsLeft(qint64 total) const
{
    // A second's worth at least, so that the first chunk's start-up does not make
    // up the rate.
    if (mSamples.size() < 2 || mSamples.last().second - mFirstMs < 1000)
        return -1;
    QList<double> msPerByte;
    for (int i = 1; i < mSamples.size(); ++i) {
        const qint64 bytes = mSamples.at(i).first - mSamples.at(i - 1).first;
        if (bytes > 0)
            msPerByte << double(mSamples.at(i).second - mSamples.at(i - 1).second) / double(bytes);
    }
    if (msPerByte.isEmpty())
        return -1;
    std::sort(msPerByte.begin(), msPerByte.end());
    const int middle = msPerByte.size() / 2;
    const double median = msPerByte.size() % 2 == 1 ? msPerByte.at(middle)
                                                     : (msPerByte.at(middle - 1) + msPerByte.at(middle)) / 2;
    const qint64 leftMs = qint64(double(qMax<qint64>(0, total - mSamples.last().first)) * median);
    return (leftMs + 999) / 1000;
}

QString progressText(qint64 done, qint64 total, qint64 secondsLeft)
{
    const int percent = total > 0 ? int(done * 100 / total) : 100;
    QString text = QStringLiteral("%1% %2 / %3 bytes").arg(percent, 3).arg(done).arg(total);
    if (done >= total || secondsLeft < 0)
        return text;
    if (secondsLeft < 60)
        return text + QStringLiteral(", %1 s left").arg(secondsLeft);
    return text + QStringLiteral(", %1:%2 left").arg(secondsLeft / 60).arg(secondsLeft % 60, 2, 10, QLatin1Char('0'));
}

QString fitLine(const QString& rBefore, const QString& rName, const QString& rAfter, int width)
{
    QString name = shownName(rName);
    const int room = width - textColumns(rBefore) - textColumns(rAfter);
    const QLatin1String gap("...");
    if (width > 0 && textColumns(name) > room) {
        // The name's ends tell files apart: its middle gives way, to six columns.
        const int keep = qMax(6, room) - gap.size();
        name = withinColumns(name, (keep + 1) / 2, false) + gap + withinColumns(name, keep / 2, true);
    }
    const QString line = rBefore + name + rAfter;
    return width > 0 ? withinColumns(line, width, false) : line;
}

void terminalProgress(const QString& rName, qint64 done, qint64 total)
{
    if (!terminalMode())
        return;
    if (rName != gProgressName || done == 0) {
        endTerminalProgress();
        gProgressName = rName;
        gProgressClock = ProgressClock();
        gProgressTime.start();
    }
    gProgressClock.sample(done, gProgressTime.elapsed());
    // Read at each drawing, so that a resized terminal takes effect; one column
    // is left free, or the cursor would wrap after the last character.
    const int width = terminalColumns() - 1;
    const QString text = fitLine(QStringLiteral("Writing "), QFileInfo(rName).fileName(),
                                 QStringLiteral(": ") + progressText(done, total, gProgressClock.secondsLeft(total)),
                                 width);
    const int columns = textColumns(text);
    // Rewritten in place. What a longer line before left is cleared to the end of
    // the line, or covered with blanks, never beyond the width now: after the
    // terminal narrows, blanks to the old length would wrap onto a row of their own.
    QString line = QLatin1Char('\r') + text;
    if (clearsToEnd())
        line += QLatin1String("\x1b[K");
    else if (columns < qMin(int(gProgressLength), width))
        line += QString(qMin(int(gProgressLength), width) - columns, QLatin1Char(' '));
    gProgressLength = qMax(1, columns);
    writeText(stderr, line);
}

bool progressLineOpen()
{
    return gProgressLength.load() != 0;
}

void endTerminalProgress()
{
    if (gProgressLength == 0)
        return;
    gProgressLength = 0;
    writeText(stderr, QStringLiteral("\n"));
}

} // namespace ZRN
