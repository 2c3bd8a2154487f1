#ifndef ZRN_SIMSERVE_H
#define ZRN_SIMSERVE_H

#include "simkeyboard.h"
#include "simline.h"

class QTextStream;

namespace ZRN {
namespace sim {

// Serves requests until stopped, the time is up (endNs, monotonic; 0: never) or
// the line goes away; true when the line went away without the keyboard closing
// it. baud > 0 holds each reply back as long as request and reply take on a line
// of that rate; pLog (may be null) gets one line per request.
bool serveKeyboard(SimLine& rLine, SimKeyboard& rKeyboard, int baud, qint64 endNs, QTextStream* pLog);

} // namespace sim
} // namespace ZRN

#endif
