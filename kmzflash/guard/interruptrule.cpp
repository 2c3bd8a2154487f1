#include "interruptrule.h"

namespace ZRN {

InterruptState gInterruptState;

InterruptAction noteInterrupt(InterruptState& rState, int code, bool byPerson)
{
    int none = 0;
    rState.firstSignal.compare_exchange_strong(none, code);
    const int count = ++rState.interrupts;
    if (rState.holding.load() != 0)
        return InterruptAction::None;
    if (rState.critical.load() == 0)
        return InterruptAction::Stop;
    if (count == 1) {
        rState.held = 1;
        return InterruptAction::None;
    }
    if (!byPerson)
        return InterruptAction::None;
    return rState.quiet.load() != 0 ? InterruptAction::Stop : InterruptAction::StopErased;
}

InterruptAction lookAtInterrupts(InterruptState& rState)
{
    if (rState.interrupts.load() == 0 || rState.holding.load() != 0)
        return InterruptAction::None;
    if (rState.held.load() == 0 && rState.critical.load() == 0)
        return InterruptAction::Stop;
    rState.held = 1;
    if (rState.quiet.load() != 0 || rState.noticed.exchange(1) != 0)
        return InterruptAction::Hold;
    return InterruptAction::HoldSaying;
}

bool tellsHowUpdateEnded(const InterruptState& rState)
{
    return rState.held.load() != 0 && rState.quiet.load() == 0;
}

} // namespace ZRN
