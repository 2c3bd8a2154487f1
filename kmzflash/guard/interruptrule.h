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
    std::atomic<int> holding{0};     // a file is being written: the program looks for interrupts itself
};
static_assert(std::atomic<int>::is_always_lock_free, "read and written in signal handlers");

// The program's one state.
extern InterruptState gInterruptState;

// The rule as the handlers apply it: notes an interrupt (code: the signal, or on
// Windows the console event + 1) and tells whether it ends the program at once.
// Outside the critical stretch every one does, unless a file is being written
// (the program then stops where it looks). The first one inside the stretch is
// marked held here, not when the program gets to it: an update that finishes
// before the program looks keeps its own exit code. Inside the stretch only a
// person interrupting again (byPerson: Ctrl-C, Ctrl-\) stops: a hang-up or a
// SIGTERM comes without one, and closing a terminal sends SIGHUP twice.
bool noteInterrupt(InterruptState& rState, int code, bool byPerson);

} // namespace ZRN

#endif
