#ifndef ZRN_INTERRUPTRULE_H
#define ZRN_INTERRUPTRULE_H

#include <atomic>

namespace ZRN {

// What the interrupt handlers share with the program. A signal handler and a
// thread of Windows' read and write it: lock-free atomics are safe in both.
struct InterruptState
{
    std::atomic<int> interrupts{0};  // interrupts received
    std::atomic<int> firstSignal{0}; // the signal that ends the process (Windows: its event + 1)
    std::atomic<int> critical{0};    // the erase has been asked for
    std::atomic<int> held{0};        // the first interrupt came inside the critical stretch
    std::atomic<int> quiet{0};       // the stretch costs the keyboard nothing: held without a word
    std::atomic<int> holding{0};     // files are being written: the program looks for interrupts itself
    std::atomic<int> noticed{0};     // the held interrupt's line has been said
};
static_assert(std::atomic<int>::is_always_lock_free, "read and written in signal handlers");

// The program's one state.
extern InterruptState gInterruptState;

// What the interrupts so far call for. The handlers and the guard carry it out;
// the rule alone decides it.
enum class InterruptAction {
    None,        // nothing now: no interrupt, or one the program acts on where it looks
    Hold,        // the update goes on; nothing (more) to say
    HoldSaying,  // the update goes on; say so, once
    Stop,        // end the program now
    StopErased,  // end it now, after saying that the keyboard is left erased
};

// A handler's part: notes an interrupt (code: the signal, or on Windows the
// console event + 1) and decides whether the handler ends the program.
// Outside the critical stretch every interrupt does, so that nothing the program
// is blocked on holds the stop up. While files are being written (--g) none does:
// the program looks for it, and stops once no half-made file is left. The first
// one inside the stretch is marked held here, not when the program gets to it:
// an update that finishes before the program looks keeps its own exit code.
// Inside the stretch only a person interrupting again (byPerson: Ctrl-C, Ctrl-\)
// stops: a hang-up or a SIGTERM comes without one, and closing a terminal sends
// SIGHUP twice. Returns None, Stop or StopErased.
InterruptAction noteInterrupt(InterruptState& rState, int code, bool byPerson);

// The program's part, where it looks (its waits, the start of the critical
// stretch, its end): an interrupt noted before the stretch stops it, one inside
// is held (and said once, unless the stretch is quiet). None while files are
// being written. Never StopErased: the program stops only before the erase.
InterruptAction lookAtInterrupts(InterruptState& rState);

// Whether the program's end says, on the terminal, how a held update ended.
bool tellsHowUpdateEnded(const InterruptState& rState);

} // namespace ZRN

#endif
