#include "simprobe.h"

#include "simline.h"

namespace ZRN {
namespace sim {

namespace {

QByteArray hexBytes(const char* pHex)
{
    return QByteArray::fromHex(pHex);
}

// The switcher's table of status values; the second column runs ten places ahead.
const quint8 gStatusValues[20] = {0x01, 0x02, 0x03, 0x11, 0x12, 0x13, 0x14, 0x31, 0x32, 0x41,
                                  0x42, 0x41, 0x32, 0x31, 0x14, 0x13, 0x12, 0x11, 0x03, 0x02};

// Collects the answer to one burst: everything until the line has been quiet for
// quietMs, or until limitMs have passed.
QByteArray collectAnswer(SimLine& rLine, int quietMs, int limitMs)
{
    QByteArray answer;
    const qint64 deadline = nowNs() + qint64(limitMs) * 1000000;
    while (!stopRequested()) {
        const qint64 left = (deadline - nowNs()) / 1000000;
        if (left <= 0)
            break;
        bool lost = false;
        const QByteArray chunk = rLine.read(int(answer.isEmpty() ? left : qMin<qint64>(left, quietMs)), &lost);
        if (lost)
            break;
        if (chunk.isEmpty() && !answer.isEmpty())
            break;
        answer.append(chunk);
    }
    return answer;
}

} // namespace

bool probeStep(const QString& rName, ProbeStep* pStep, QString* pError)
{
    // Requests the keyboard sends, and the switcher's answers to them.
    struct Script
    {
        const char* pName;
        const char* pRequest;
        const char* pAnswer;
    };
    static const Script gScripts[] = {
        {"status", "aa024040", ""}, // counted: see expectedStatusAnswer
        {"version", "aa024242", "aa05000208000a"},
        {"inq0606ch1", "aa08410181090606ffd7", "aa05905002ffe1"},
        {"inq0606ch2", "aa08410281090606ffd8", "aa05905003ffe2"},
        {"inq0448ch1", "aa08410181090448ff17", "aa08905002000000ffe1"},
        {"inq0448ch2", "aa08410281090448ff18", "aa08905001020304ffe9"},
        {"noise", "0102aa03fe55", "aa028080"},
    };
    pStep->name = rName;
    pStep->pieces.clear();
    for (const Script& script : gScripts) {
        if (rName == QLatin1String(script.pName)) {
            pStep->pieces << hexBytes(script.pRequest);
            pStep->expected = hexBytes(script.pAnswer);
            return true;
        }
    }
    if (rName == QLatin1String("split")) {
        // A status request cut in two by a pause: two bursts, two fallbacks.
        pStep->pieces << hexBytes("aa02") << hexBytes("4040");
        pStep->expected = hexBytes("aa028080aa028080");
        return true;
    }
    *pError = QStringLiteral("unknown probe step \"%1\" (status, version, inq0606ch1, inq0606ch2, "
                             "inq0448ch1, inq0448ch2, noise, split)")
                  .arg(rName);
    return false;
}

QByteArray expectedStatusAnswer(int n)
{
    QByteArray answer(14, '\0');
    answer[0] = char(0xAA);
    answer[1] = char(0x0C);
    answer[2] = char(gStatusValues[n % 20]);
    answer[3] = char(0xFF);
    answer[4] = char(gStatusValues[(n + 10) % 20]);
    answer[5] = char(0xFF);
    answer[6] = char(n % 16);
    answer[7] = char(n % 4);
    answer[8] = char(n % 16);
    answer[9] = char((n % 1024) & 0xFF);
    answer[10] = char((n % 1024) >> 8);
    int sum = 0;
    for (int i = 2; i <= 12; ++i)
        sum += quint8(answer[i]);
    answer[13] = char(sum & 0xFF);
    return answer;
}

int runProbeScript(SimLine& rLine, const QStringList& rSteps, bool check, int pauseMs, int waitMs, qint64 endNs,
                   QTextStream& rOut)
{
    int mismatches = 0;
    int statusCount = 0;
    for (const QString& name : rSteps) {
        if (stopRequested() || (endNs > 0 && nowNs() >= endNs))
            break;
        ProbeStep step;
        QString error;
        if (!probeStep(name, &step, &error))
            continue; // names were checked before the line was opened
        if (name == QLatin1String("status"))
            step.expected = expectedStatusAnswer(++statusCount);

        QByteArray sent;
        for (int i = 0; i < step.pieces.size(); ++i) {
            if (i > 0)
                sleepUntilNs(nowNs() + qint64(pauseMs) * 1000000);
            rLine.writeAll(step.pieces[i]);
            sent += step.pieces[i];
        }
        const QByteArray answer = collectAnswer(rLine, qMax(20, pauseMs * 2), waitMs);
        rOut << name << " sent " << sent.toHex() << " got " << answer.toHex();
        if (check) {
            if (answer == step.expected) {
                rOut << " ok";
            } else {
                rOut << " MISMATCH expected " << step.expected.toHex();
                ++mismatches;
            }
        }
        rOut << '\n';
        rOut.flush();
        // A burst must end with a pause the switcher can see.
        sleepUntilNs(nowNs() + qint64(pauseMs) * 1000000);
    }
    return mismatches;
}

} // namespace sim
} // namespace ZRN
