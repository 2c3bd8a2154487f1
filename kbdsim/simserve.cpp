#include "simserve.h"

#include <QTextStream>

#include <cstdio>

namespace ZRN {
namespace sim {

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
            // The echo takes no time of its own: it is on the line while the request is.
            if (!action.echo.isEmpty())
                rLine.writeAll(action.echo);
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

} // namespace sim
} // namespace ZRN
