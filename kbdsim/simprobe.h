#ifndef ZRN_SIMPROBE_H
#define ZRN_SIMPROBE_H

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTextStream>

namespace ZRN {
namespace sim {

class SimLine;

// The keyboard's side toward the switcher (or kbdprobe): 0xAA frames sent of its
// own accord, one burst each, with the answers printed and optionally checked.
struct ProbeStep
{
    QString name;
    QList<QByteArray> pieces; // sent with a pause between them
    QByteArray expected;      // filled in by the script runner for the status counter
};

// Known step names: status, version, inq0606ch1, inq0606ch2, inq0448ch1,
// inq0448ch2, noise, split. False with an error for an unknown name.
bool probeStep(const QString& rName, ProbeStep* pStep, QString* pError);

// The switcher's status answer to the n-th status request, as the keyboard
// expects it: counters from n, table entries at n mod 20, and the frame's checksum.
QByteArray expectedStatusAnswer(int n);

// Runs the steps; returns the number of answers that differed from what was
// expected (counted only with check set).
// Stops early when endNs (monotonic, 0: never) has passed.
int runProbeScript(SimLine& rLine, const QStringList& rSteps, bool check, int pauseMs, int waitMs, qint64 endNs,
                   QTextStream& rOut);

} // namespace sim
} // namespace ZRN

#endif
