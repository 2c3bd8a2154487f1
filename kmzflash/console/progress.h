#ifndef ZRN_PROGRESS_H
#define ZRN_PROGRESS_H

#include <QList>
#include <QPair>
#include <QString>
#include <QtGlobal>

// What a person at a terminal sees of an update, in terminal mode only (see
// messages.h): the Write progress of each file is one line rewritten in place,
// and short lines mark the steps that matter (the version gate, the erase, the
// checks, the updater's start, the result).

namespace ZRN {

// The width of the terminal on standard error (80 when it says none), read anew
// at each call.
int terminalColumns();
// A step line (terminal mode only); step lines are made to fit 80 columns, or
// the terminal's width when it is narrower.
constexpr int STEP_LINE_WIDTH = 80;
// The columns a step line may take: one column is left free, or the cursor would
// wrap after the last character.
int stepLineWidth();
void terminalLine(const QString& rText);
// The in-place progress of one file's write: done of total bytes.
void terminalProgress(const QString& rName, qint64 done, qint64 total);
// Ends a progress line, if one is open.
void endTerminalProgress();
// Whether a progress line is open on standard error: safe in a signal handler,
// whose own line must start on a fresh one.
bool progressLineOpen();

// The time left of one file's write, from its recent chunks: the median time per
// byte of the last eight, so that a pause (Ctrl-Z, a suspended laptop, a message
// that held the line up) counts as one slow chunk, not as the rate.
class ProgressClock
{
public:
    void sample(qint64 done, qint64 nowMs);
    // Whole seconds, rounded up; -1 before a second's worth of chunks.
    qint64 secondsLeft(qint64 total) const;

private:
    QList<QPair<qint64, qint64>> mSamples; // (bytes done, ms), the last nine
    qint64 mFirstMs = -1;                  // of the file's first sample
};

// "45% 18432 / 40968 bytes, 12 s left": the progress text for done of total
// bytes (no time left when secondsLeft < 0).
QString progressText(qint64 done, qint64 total, qint64 secondsLeft);

// The columns a text takes at a terminal: East Asian wide and full-width
// characters two, combining marks and other zero-width characters none, every
// other character one.
int textColumns(const QString& rText);
// The name as a line shows it: control characters escaped (a line feed as \n, a
// carriage return as \r, a tab as \t, others as \xHH), so that no name breaks
// the line, moves its cursor or speaks to the terminal.
QString shownName(const QString& rName);

// A line shortened to width terminal columns, cut only between whole
// characters: the name (as shownName shows it) gives way in its middle first,
// then the text's end. (No shortening for a width <= 0.)
QString fitLine(const QString& rBefore, const QString& rName, const QString& rAfter, int width);

} // namespace ZRN

#endif
