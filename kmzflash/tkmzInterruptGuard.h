#ifndef ZRN_TKMZINTERRUPTGUARD_H
#define ZRN_TKMZINTERRUPTGUARD_H

#include <QObject>

class QSocketNotifier;

namespace ZRN {

class tkmzManagerOperation;

// Ctrl-C, SIGTERM and SIGHUP for kmzflash, and a closed output.
//
// Outside an update's critical stretch (from the erase request to the end of the
// update) an interrupt stops the program at once. Inside it, the first one is
// held, with one line on the warning stream, so that the keyboard is not left
// erased; a second one stops at once. Stopping closes the port first, which
// releases it and its lock file, then ends the process by the same signal.
//
// A closed standard error (a pager or `head` that quit) must never stop an
// update: SIGPIPE is ignored and the messages are lost instead.
//
// The handlers only note the signal; the program acts on it in its waits, where
// the keyboard's replies are processed too.
class tkmzInterruptGuard : public QObject
{
    Q_OBJECT

public:
    explicit tkmzInterruptGuard(tkmzManagerOperation* pOperation, QObject* pParent = nullptr);
    ~tkmzInterruptGuard() override;

    // Marks the critical stretch of an update. Entering it first acts on an
    // interrupt that came before, so an update interrupted before its erase never
    // erases. Without a guard these only keep the mark.
    static void enterCritical();
    static void leaveCritical();

private slots:
    void slotInterrupted();

private:
    static void act();
    [[noreturn]] static void stopNow();

    QSocketNotifier* mpNotifier;
};

} // namespace ZRN

#endif
