#include "simoptions.h"

#include "simprobe.h"

#include <QFile>
#include <QFileInfo>

namespace ZRN {
namespace sim {

namespace {

// Enough for any update file the tools take, at its flash address.
constexpr int FLASH_SIZE_MAX = 512 * 1024 * 1024;

int intOption(const QCommandLineParser& rParser, const QString& rName, int minimum, QStringList* pErrors)
{
    bool ok = false;
    const int value = rParser.value(rName).toInt(&ok, 0);
    if (!ok || value < minimum) {
        *pErrors << QStringLiteral("--%1 must be a whole number of at least %2, got \"%3\"")
                        .arg(rName).arg(minimum).arg(rParser.value(rName));
        return minimum;
    }
    return value;
}

} // namespace

void addSimOptions(QCommandLineParser& rParser)
{
    rParser.setApplicationDescription(QStringLiteral(
        "Simulated PNL640 keyboard. Prints the path of its line first on stdout, then answers the\n"
        "keyboard protocol there until stopped (SIGINT/SIGTERM/SIGHUP) or until --duration has passed.\n"
        "Faults: TYPE:KIND[:K] with TYPE getinfo|erase|write|crc|run and KIND nack|silence|split|\n"
        "swap|corrupt|short|close|vanish; K limits the fault to the K-th request of that type.\n"
        "close replies and then drops the line (write:close:3 = the line goes after 3 Writes);\n"
        "vanish drops it instead of replying. TYPE:prefix:HEX[:K] puts the bytes HEX ahead of the\n"
        "reply (getinfo:prefix:00 = a zero byte before every information reply)."));
    rParser.addHelpOption();
    const QList<QCommandLineOption> options = {
        {QStringLiteral("port"), QStringLiteral("Use this serial device instead of a new pseudo-terminal."),
         QStringLiteral("device")},
        {QStringLiteral("gadget"),
         QStringLiteral("The --port device is a USB gadget's end (/dev/ttyGS0), whose line settings the kernel "
                        "does not carry: taken with its own.")},
        {QStringLiteral("version-text"), QStringLiteral("Version text of the information reply."),
         QStringLiteral("text"), QStringLiteral("1.00")},
        {QStringLiteral("major"), QStringLiteral("Firmware major number (0-255)."), QStringLiteral("n"),
         QStringLiteral("1")},
        {QStringLiteral("minor"), QStringLiteral("Firmware minor number (0-255)."), QStringLiteral("n"),
         QStringLiteral("0")},
        {QStringLiteral("flash-size"), QStringLiteral("Size of the simulated flash in bytes."),
         QStringLiteral("bytes"), QStringLiteral("262144")},
        {QStringLiteral("flash-image"),
         QStringLiteral("What the flash holds at start, from address 0 (the rest reads erased)."),
         QStringLiteral("file")},
        {QStringLiteral("fault"), QStringLiteral("Inject a fault (repeatable), see above."),
         QStringLiteral("spec")},
        {QStringLiteral("echo"), QStringLiteral("Echo every request before the reply, as a two-wire line does.")},
        {QStringLiteral("bad-cell"),
         QStringLiteral("A flash cell that does not take writes: it stores the byte with bit 0 flipped, "
                        "and the Write is acknowledged."),
         QStringLiteral("address")},
        {QStringLiteral("crc-full-length"),
         QStringLiteral("Compute Crc replies over the whole 32-bit length (default: the length mod 65536).")},
        {QStringLiteral("split-pause"), QStringLiteral("Pause between the pieces of a split reply."),
         QStringLiteral("ms"), QStringLiteral("30")},
        {QStringLiteral("baud"), QStringLiteral("Pace replies as on a line of this rate, 8O1 (0: unpaced)."),
         QStringLiteral("rate"), QStringLiteral("0")},
        {QStringLiteral("log"), QStringLiteral("Log every request to this file (- for stdout)."),
         QStringLiteral("file")},
        {QStringLiteral("dump"), QStringLiteral("Write the flash to this file at exit."), QStringLiteral("file")},
        {QStringLiteral("duration"), QStringLiteral("Stop after this many milliseconds (0: never)."),
         QStringLiteral("ms"), QStringLiteral("0")},
        {QStringLiteral("probe"), QStringLiteral("Play the keyboard toward kbdprobe instead.")},
        {QStringLiteral("probe-script"),
         QStringLiteral("Comma-separated steps: status, version, inq0606ch1, inq0606ch2, inq0448ch1, "
                        "inq0448ch2, noise, split."),
         QStringLiteral("steps"),
         QStringLiteral("status,version,inq0606ch1,inq0606ch2,inq0448ch1,inq0448ch2,noise,split,status")},
        {QStringLiteral("probe-check"), QStringLiteral("Compare each answer with the expected one; exit 3 on a mismatch.")},
        {QStringLiteral("probe-delay"), QStringLiteral("Wait this long for the peer before the first step."),
         QStringLiteral("ms"), QStringLiteral("500")},
        {QStringLiteral("probe-pause"), QStringLiteral("Pause after each burst (more than 5 ms)."),
         QStringLiteral("ms"), QStringLiteral("20")},
        {QStringLiteral("probe-wait"), QStringLiteral("Wait this long for each answer (a slow peer needs more)."),
         QStringLiteral("ms"), QStringLiteral("500")},
    };
    rParser.addOptions(options);
}

bool readSimOptions(const QCommandLineParser& rParser, SimOptions* pOptions, QStringList* pErrors)
{
    SimConfig& config = pOptions->config;
    config.versionText = rParser.value(QStringLiteral("version-text"));
    config.major = intOption(rParser, QStringLiteral("major"), 0, pErrors);
    config.minor = intOption(rParser, QStringLiteral("minor"), 0, pErrors);
    config.flashSize = intOption(rParser, QStringLiteral("flash-size"), 0, pErrors);
    config.splitPauseMs = intOption(rParser, QStringLiteral("split-pause"), 0, pErrors);
    pOptions->baud = intOption(rParser, QStringLiteral("baud"), 0, pErrors);
    pOptions->durationMs = intOption(rParser, QStringLiteral("duration"), 0, pErrors);
    pOptions->probeDelayMs = intOption(rParser, QStringLiteral("probe-delay"), 0, pErrors);
    pOptions->probePauseMs = intOption(rParser, QStringLiteral("probe-pause"), 6, pErrors);
    pOptions->probeWaitMs = intOption(rParser, QStringLiteral("probe-wait"), 1, pErrors);
    if (config.major > 255 || config.minor > 255)
        *pErrors << QStringLiteral("--major and --minor must be 0 to 255");
    if (config.flashSize > FLASH_SIZE_MAX)
        *pErrors << QStringLiteral("--flash-size must be at most %1").arg(FLASH_SIZE_MAX);
    if (rParser.isSet(QStringLiteral("bad-cell"))) {
        config.badCell = intOption(rParser, QStringLiteral("bad-cell"), 0, pErrors);
        if (config.badCell >= config.flashSize)
            *pErrors << QStringLiteral("--bad-cell must lie within the flash");
    }
    config.crcFullLength = rParser.isSet(QStringLiteral("crc-full-length"));
    config.echo = rParser.isSet(QStringLiteral("echo"));
    if (pErrors->isEmpty() && rParser.isSet(QStringLiteral("flash-image"))) {
        QFile image(rParser.value(QStringLiteral("flash-image")));
        // A device or a pipe would never end; a file larger than the flash does not fit.
        const QFileInfo info(image.fileName());
        if (!info.isFile()) {
            *pErrors << QStringLiteral("the flash image %1 is not a regular file").arg(image.fileName());
        } else if (info.size() > config.flashSize) {
            *pErrors << QStringLiteral("the flash image is larger than --flash-size");
        } else if (!image.open(QIODevice::ReadOnly)) {
            *pErrors << QStringLiteral("cannot read the flash image %1").arg(image.fileName());
        } else {
            config.initialFlash = image.read(config.flashSize);
        }
    }
    for (const QString& text : rParser.values(QStringLiteral("fault"))) {
        FaultRule rule;
        QString error;
        if (!parseFaultRule(text, &rule, &error))
            *pErrors << error;
        config.faults.append(rule);
    }
    pOptions->probeSteps =
        rParser.value(QStringLiteral("probe-script")).split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString& name : pOptions->probeSteps) {
        ProbeStep step;
        QString error;
        if (!probeStep(name, &step, &error))
            *pErrors << error;
    }
    return pErrors->isEmpty();
}

} // namespace sim
} // namespace ZRN
