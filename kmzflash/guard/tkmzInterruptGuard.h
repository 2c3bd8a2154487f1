#ifndef ZRN_TKMZINTERRUPTGUARD_H
#define ZRN_TKMZINTERRUPTGUARD_H

#include <QObject>
#include <QString>


namespace ZRN {

class tkmzManagerOperation;
enum class InterruptAction;

// Ctrl-C, Ctrl-\, SIGTERM and SIGHUP for kmzflash, and a closed output; on
// Windows Ctrl-C, Ctrl-Break and the console window being closed.
//
// Before an update's critical stretch (which starts with the erase request and
// lasts until the program ends) an interrupt stops the program at once, from its
// handler, whatever the program is blocked on (--g's hold aside, which stops
// where the writing looks). Inside it,
// the first one is held, with one line on the warning stream, so that the keyboard
// is not left erased, and the exit code is the update's; a second one stops at
// once. Only a person interrupts again: inside the stretch SIGHUP and SIGTERM are
// held however often they come (closing a terminal sends SIGHUP twice), and only
// a SIGINT or SIGQUIT after an earlier interrupt stops. Stopping lets the port and
// its lock file go and puts the serial driver's flags back, then ends the process
// by the signal of the first interrupt. A signal ignored when the program starts
// (nohup) stays ignored.
//
// The handlers (a signal handler, or on Windows the console's handler thread) note
// the first interrupt and wake the waits, where the program acts on it; a second
// one ends the program in the handler itself, so that nothing (a message blocked on
// a pager nobody reads) can hold it up; inside the stretch it first says that the
// keyboard is left erased. On Windows a program stopped by an interrupt ends with
// exit code 1 (STATUS_CONTROL_C_EXIT would read as success to a batch file's
// `if errorlevel 1`); closing the console window leaves it the five seconds
// Windows gives.
//
// A closed standard error (a pager or `head` that quit) must never stop an
// update: SIGPIPE is ignored and the messages are lost instead. When standard error
// is not a terminal, the held interrupt's line, the stop's line and how the update
// ended also go to the controlling terminal (Windows: the console), if there is
// one: a `| tee log` dies of the same Ctrl-C, and `2>update.log` shows nothing.
class tkmzInterruptGuard : public QObject
{
    Q_OBJECT

public:
    explicit tkmzInterruptGuard(tkmzManagerOperation* pOperation, QObject* pParent = nullptr);
    ~tkmzInterruptGuard() override;

    // Marks the start of the critical stretch. Entering it first acts on an
    // interrupt that came before, so an update interrupted before its erase never
    // erases. Without a guard this only keeps the mark.
    static void enterCritical();
    // The same for a stretch whose interruption costs the keyboard nothing (--g
    // once its file is replaced): interrupts are held without a word.
    static void enterQuietCritical();
    // Keeps interrupts from the handlers while a file is written, so that one is
    // acted on only where the program looks (interruptPending) and no half-made
    // file is left behind; releaseInterrupts lets them through again.
    static void holdInterrupts();
    static void releaseInterrupts();
    static bool interruptPending();
    // The lock file of the open port, removed when the handler ends the program
    // (empty: none).
    static void setPortLockFile(const QString& rPath);
    // The open port's descriptor and the serial driver's flags as the port was
    // found, put back when the handler ends the program (fd < 0: none).
    static void setPortSerialFlags(int fd, int flags);
    // The last line of an update that failed from the erase on.
    static void reportKeyboardLeftErased();
    static const char* keyboardLeftErasedLine();
    // The program's result is known: acts on an interrupt not acted on yet and,
    // when one was held, says on the terminal how the update ended.
    void finish(int result);

private slots:
    void slotInterrupted();

private:
    static void act();
    static void carryOut(InterruptAction action);
    [[noreturn]] static void stopNow();

    QObject* mpNotifier; // wakes the waits: a socket notifier, or a Windows event's
};

} // namespace ZRN

#endif
