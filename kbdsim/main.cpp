// kbdsim: a simulated keyboard on a pseudo-terminal (or a real serial port).
// It prints the line's path first on stdout, then keeps the keyboard's side of the
// '@' protocol (or, with --probe, plays the keyboard toward the switcher) until it
// is stopped or its --duration has passed.

#include "simkeyboard.h"
#include "simline.h"
#include "simoptions.h"
#include "simprobe.h"
#include "simserve.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

#include <cstdio>

using namespace ZRN::sim;

namespace {

// Every bad option ends the simulator with this code, before the line is opened.
constexpr int EXIT_BAD_OPTION = 2;
// The line went away under it (a real port unplugged).
constexpr int EXIT_LINE_LOST = 1;

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kbdsim"));

    QCommandLineParser parser;
    addSimOptions(parser);
    if (!parser.parse(QCoreApplication::arguments())) {
        std::fprintf(stderr, "kbdsim: %s\n", qPrintable(parser.errorText()));
        return EXIT_BAD_OPTION;
    }
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);

    SimOptions options;
    QStringList errors;
    bool ok = readSimOptions(parser, &options, &errors);
    for (const QString& error : errors)
        std::fprintf(stderr, "kbdsim: %s\n", qPrintable(error));
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
        if (!line.openDevice(linePath, parser.isSet(QStringLiteral("gadget")), &error)) {
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

    const qint64 endNs = options.durationMs > 0 ? nowNs() + qint64(options.durationMs) * 1000000 : 0;
    int result = 0;
    if (parser.isSet(QStringLiteral("probe"))) {
        const qint64 startNs = nowNs() + qint64(options.probeDelayMs) * 1000000;
        sleepUntilNs(endNs > 0 ? qMin(startNs, endNs) : startNs);
        QFile out;
        out.open(stdout, QIODevice::WriteOnly);
        QTextStream outStream(&out);
        const int mismatches = runProbeScript(line, options.probeSteps, parser.isSet(QStringLiteral("probe-check")),
                                              options.probePauseMs, options.probeWaitMs, endNs, outStream);
        result = mismatches > 0 ? 3 : 0;
    } else {
        SimKeyboard keyboard(options.config);
        if (serveKeyboard(line, keyboard, options.baud, endNs, pLog))
            result = EXIT_LINE_LOST;
        if (dump.isOpen() && (dump.write(keyboard.flash()) != keyboard.flash().size() || !dump.flush())) {
            std::fprintf(stderr, "kbdsim: cannot write the flash dump %s\n", qPrintable(dump.fileName()));
            result = EXIT_BAD_OPTION;
        }
    }
    line.close();
    return result;
}
