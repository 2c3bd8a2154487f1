#ifndef ZRN_INTERRUPTHANDLERS_H
#define ZRN_INTERRUPTHANDLERS_H

// The platform's side of the interrupt guard: its handlers (POSIX signal handlers,
// or Windows' console handler), how they wake the program's waits, and how the
// program keeps them out while it changes what they read.

namespace ZRN {

// The last line of an update that failed from the erase on, or was stopped there.
inline constexpr char gErasedLine[] = "The keyboard is left without working firmware. Run the same update again, "
                                      "with force if the keyboard now reports the update's version.";

// Makes the wake-up and installs the handlers (POSIX: for the stop signals not
// ignored at start); false without a wake-up, and the defaults then stay.
bool installInterruptHandlers();
void removeInterruptHandlers();
// What the program waits on for the handlers' word: a pipe's read end (POSIX)
// or an event's handle (Windows).
int interruptWakeFd();
void* interruptWakeEvent();
// Empties the wake-up, once the program has heard it.
void drainInterruptWakeUps();

// Keeps the handlers from running (or, on Windows, from applying the rule) while
// the program changes what they read; not nested.
void keepHandlersOut();
void letHandlersIn();
// --g's hold: interrupts reach the program only where it looks for them.
void holdInterruptSignals();
void releaseInterruptSignals();
// An interrupt that the hold keeps waiting.
bool interruptSignalWaiting();

// Ends the process stopped by an interrupt: on POSIX as its first interrupt would
// without a handler, by that signal; on Windows with exit code 1, which a batch
// file's `if errorlevel 1` sees.
[[noreturn]] void endByFirstInterrupt();

} // namespace ZRN

#endif
