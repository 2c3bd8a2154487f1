// kbdsim: a simulated keyboard on a pseudo-terminal (or a real serial port).
// It prints the line's path first on stdout, then keeps the keyboard's side of the
// '@' protocol (or, with --probe, plays the keyboard toward the switcher) until it
// is stopped or its --duration has passed.

#include "simkeyboard.h"
#include "simline.h"
#include "simprobe.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <cstdio>

using namespace ZRN::sim;

namespace {

// Every bad option ends the simulator with this code, before the line is opened.
constexpr int EXIT_BAD_OPTION = 2;
// The line went away under it (a real port unplugged).
constexpr int EXIT_LINE_LOST = 1;
// Enough for any update file the tools take, at its flash address.
constexpr int FLASH_SIZE_MAX = 512 * 1024 * 1024;

int intOption(const QCommandLineParser& rParser, const QString& rName, int minimum, bool* pOk)
{
    bool ok = false;
    const int value = rParser.value(rName).toInt(&ok, 0);
    if (!ok || value < minimum) {
        std::fprintf(stderr, "kbdsim: --%s must be a whole number of at least %d, got \"%s\"\n",
                     qPrintable(rName), minimum, qPrintable(rParser.value(rName)));
        *pOk = false;
        return minimum;
    }
    return value;
}

// Serves requests until stopped, the time is up or the line goes away; true when
// the line went away without the keyboard closing it.
bool serveKeyboard(SimLine& rLine, SimKeyboard& rKeyboard, int baud, qint64 endNs, QTextStream* pLog)
{
    SimRequestParser parser;
    qint64 frameStartNs = 0;
    while (!stopRequested() && rLine.isOpen()) {
        int timeoutMs = 100;
        if (endNs > 0) {
            const qint64 leftMs = (endNs - nowNs()) / 1000000;
            if (leftMs <= 0)
                break;
            timeoutMs = int(qMin<qint64>(timeoutMs, leftMs));
        }
        bool lost = false;
        const QByteArray bytes = rLine.read(timeoutMs, &lost);
        if (lost) {
            std::fprintf(stderr, "kbdsim: the line has gone away\n");
            return true;
        }
        if (bytes.isEmpty())
            continue;
        if (parser.isEmpty())
            frameStartNs = nowNs();
        parser.feed(bytes);

        SimRequest request;
        while (rLine.isOpen() && parser.next(&request)) {
            const SimAction action = rKeyboard.handle(request, pLog != nullptr);
            if (pLog) {
                *pLog << action.logLine << '\n';
                pLog->flush();
            }
            if (baud > 0) {
                // As long as the request and the reply take on an 8O1 line: 11 bits a byte.
                qint64 bytesOnLine = request.frameSize;
                for (const QByteArray& piece : action.pieces)
                    bytesOnLine += piece.size();
                sleepUntilNs(frameStartNs + bytesOnLine * 11 * 1000000000LL / baud);
            }
            for (int i = 0; i < action.pieces.size(); ++i) {
                if (i > 0 && action.pauseMs > 0)
                    sleepUntilNs(nowNs() + qint64(action.pauseMs) * 1000000);
                rLine.writeAll(action.pieces[i]);
            }
            if (action.closeLine) {
                rLine.waitUntilTaken(2000);
                rLine.close();
            }
            frameStartNs = nowNs();
        }
    }
    return false;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kbdsim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulated PNL640 keyboard. Prints the path of its line first on stdout, then answers the\n"
        "keyboard protocol there until stopped (SIGINT/SIGTERM/SIGHUP) or until --duration has passed.\n"
        "Faults: TYPE:KIND[:K] with TYPE getinfo|erase|write|crc|run and KIND nack|silence|split|\n"
        "swap|corrupt|short|close|vanish; K limits the fault to the K-th request of that type.\n"
        "close replies and then drops the line (write:close:3 = the line goes after 3 Writes);\n"
        "vanish drops it instead of replying."));
    parser.addHelpOption();
    const QList<QCommandLineOption> options = {
        {QStringLiteral("port"), QStringLiteral("Use this serial device instead of a new pseudo-terminal."),
         QStringLiteral("device")},
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
    };
    parser.addOptions(options);
    if (!parser.parse(QCoreApplication::arguments())) {
        std::fprintf(stderr, "kbdsim: %s\n", qPrintable(parser.errorText()));
        return EXIT_BAD_OPTION;
    }
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);

    bool ok = true;
    SimConfig config;
    config.versionText = parser.value(QStringLiteral("version-text"));
    config.major = intOption(parser, QStringLiteral("major"), 0, &ok);
    config.minor = intOption(parser, QStringLiteral("minor"), 0, &ok);
    config.flashSize = intOption(parser, QStringLiteral("flash-size"), 0, &ok);
    config.splitPauseMs = intOption(parser, QStringLiteral("split-pause"), 0, &ok);
    const int baud = intOption(parser, QStringLiteral("baud"), 0, &ok);
    const int durationMs = intOption(parser, QStringLiteral("duration"), 0, &ok);
    const int probeDelayMs = intOption(parser, QStringLiteral("probe-delay"), 0, &ok);
    const int probePauseMs = intOption(parser, QStringLiteral("probe-pause"), 6, &ok);
    if (config.major > 255 || config.minor > 255) {
        std::fprintf(stderr, "kbdsim: --major and --minor must be 0 to 255\n");
        ok = false;
    }
    if (config.flashSize > FLASH_SIZE_MAX) {
        std::fprintf(stderr, "kbdsim: --flash-size must be at most %d\n", FLASH_SIZE_MAX);
        ok = false;
    }
    if (ok && parser.isSet(QStringLiteral("flash-image"))) {
        QFile image(parser.value(QStringLiteral("flash-image")));
        // A device or a pipe would never end; a file larger than the flash does not fit.
        const QFileInfo info(image.fileName());
        if (!info.isFile()) {
            std::fprintf(stderr, "kbdsim: the flash image %s is not a regular file\n", qPrintable(image.fileName()));
            ok = false;
        } else if (info.size() > config.flashSize) {
            std::fprintf(stderr, "kbdsim: the flash image is larger than --flash-size\n");
            ok = false;
        } else if (!image.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "kbdsim: cannot read the flash image %s\n", qPrintable(image.fileName()));
            ok = false;
        } else {
            config.initialFlash = image.read(config.flashSize);
        }
    }
    for (const QString& text : parser.values(QStringLiteral("fault"))) {
        FaultRule rule;
        QString error;
        if (!parseFaultRule(text, &rule, &error)) {
            std::fprintf(stderr, "kbdsim: %s\n", qPrintable(error));
            ok = false;
        }
        config.faults.append(rule);
    }
    const QStringList probeSteps =
        parser.value(QStringLiteral("probe-script")).split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString& name : probeSteps) {
        ProbeStep step;
        QString error;
        if (!probeStep(name, &step, &error)) {
            std::fprintf(stderr, "kbdsim: %s\n", qPrintable(error));
            ok = false;
        }
    }
    // Opened now, so that a dump that cannot be written is refused before the run.
    QFile dump;
    if (ok && parser.isSet(QStringLiteral("dump"))) {
        dump.setFileName(parser.value(QStringLiteral("dump")));
        if (!dump.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            std::fprintf(stderr, "kbdsim: cannot write the flash dump %s: %s\n", qPrintable(dump.fileName()),
                         qPrintable(dump.errorString()));
            ok = false;
        }
    }
    if (!ok)
        return EXIT_BAD_OPTION;

    QFile logFile;
    QTextStream log;
    QTextStream* pLog = nullptr;
    if (parser.isSet(QStringLiteral("log"))) {
        const QString path = parser.value(QStringLiteral("log"));
        bool opened = false;
        if (path == QLatin1String("-")) {
            opened = logFile.open(stdout, QIODevice::WriteOnly);
        } else {
            logFile.setFileName(path);
            opened = logFile.open(QIODevice::WriteOnly | QIODevice::Truncate);
        }
        if (!opened) {
            std::fprintf(stderr, "kbdsim: cannot write the log %s\n", qPrintable(path));
            return EXIT_BAD_OPTION;
        }
        log.setDevice(&logFile);
        pLog = &log;
    }

    SimLine line;
    QString linePath;
    QString error;
    if (parser.isSet(QStringLiteral("port"))) {
        linePath = parser.value(QStringLiteral("port"));
        if (!line.openDevice(linePath, &error)) {
            std::fprintf(stderr, "kbdsim: cannot open %s: %s\n", qPrintable(linePath), qPrintable(error));
            return EXIT_BAD_OPTION;
        }
    } else if (!line.openPty(&linePath, &error)) {
        std::fprintf(stderr, "kbdsim: %s\n", qPrintable(error));
        return EXIT_BAD_OPTION;
    }
    installStopHandlers();
    std::printf("%s\n", qPrintable(linePath));
    std::fflush(stdout);

    const qint64 endNs = durationMs > 0 ? nowNs() + qint64(durationMs) * 1000000 : 0;
    int result = 0;
    if (parser.isSet(QStringLiteral("probe"))) {
        const qint64 startNs = nowNs() + qint64(probeDelayMs) * 1000000;
        sleepUntilNs(endNs > 0 ? qMin(startNs, endNs) : startNs);
        QFile out;
        out.open(stdout, QIODevice::WriteOnly);
        QTextStream outStream(&out);
        const int mismatches =
            runProbeScript(line, probeSteps, parser.isSet(QStringLiteral("probe-check")), probePauseMs, endNs,
                           outStream);
        result = mismatches > 0 ? 3 : 0;
    } else {
        SimKeyboard keyboard(config);
        if (serveKeyboard(line, keyboard, baud, endNs, pLog))
            result = EXIT_LINE_LOST;
        if (dump.isOpen() && (dump.write(keyboard.flash()) != keyboard.flash().size() || !dump.flush())) {
            std::fprintf(stderr, "kbdsim: cannot write the flash dump %s\n", qPrintable(dump.fileName()));
            result = EXIT_BAD_OPTION;
        }
    }
    line.close();
    return result;
}
