#include "interruptrule.h"

namespace ZRN {

InterruptState gInterruptState;

bool noteInterrupt(InterruptState& rState, int code, bool byPerson)
{
    int none = 0;
    rState.firstSignal.compare_exchange_strong(none, code);
    const int count = ++rState.interrupts;
    if (rState.critical.load() == 0)
        return rState.holding.load() == 0 || count >= 2;
    if (count == 1)
        rState.held = 1;
    return byPerson && count >= 2;
}

} // namespace ZRN
