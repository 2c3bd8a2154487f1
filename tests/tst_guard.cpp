#include "tcPointerChecker.h"
#include "tkmzManagerOperation.h"

#include <QtTest>

#include <sys/wait.h>
#include <unistd.h>

using namespace ZRN;

class tst_Guard : public QObject
{
    Q_OBJECT

private slots:
    void quietWhenAllocated();
    void nullMemberEndsProcess_data();
    void nullMemberEndsProcess();
    void addPointerClearsMember();
};

void tst_Guard::quietWhenAllocated()
{
    QObject owner;
    {
        tcPointerChecker empty(&owner);
        empty.checkPointers();
    }
    tcPointerChecker checker(&owner);
    QObject* pFirst = nullptr;
    QObject* pSecond = nullptr;
    checker.addPointer(pFirst);
    checker.addPointer(pSecond);
    pFirst = new QObject(&owner);
    pSecond = new QObject(&owner);
    checker.checkPointers(); // returns: the test goes on
    QCOMPARE(owner.children().size(), 3);
}

void tst_Guard::nullMemberEndsProcess_data()
{
    QTest::addColumn<bool>("withOwner");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("operation owner")
        << true
        << QByteArray("\"No memory for allocation resources in ZRN::tkmzManagerOperation.\\n"
                      "Application will be closed.\"\n");
    QTest::newRow("no owner") << false
                              << QByteArray("\"No memory for allocation resources.\\nApplication will be closed.\"\n");
}

// The guard ends the process, so each case runs in a child whose stderr is captured.
void tst_Guard::nullMemberEndsProcess()
{
    QFETCH(bool, withOwner);
    QFETCH(QByteArray, expected);

    int pipeFds[2];
    QVERIFY(::pipe(pipeFds) == 0);
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        ::dup2(pipeFds[1], STDERR_FILENO);
        ::close(pipeFds[0]);
        qunsetenv("QT_MESSAGE_PATTERN");
        qInstallMessageHandler(nullptr);
        tkmzManagerOperation owner;
        tcPointerChecker checker(withOwner ? &owner : nullptr);
        QObject* pMember = nullptr;
        checker.addPointer(pMember);
        checker.checkPointers();
        ::_exit(42); // not reached
    }
    ::close(pipeFds[1]);
    QByteArray output;
    char buffer[512];
    ssize_t count;
    while ((count = ::read(pipeFds[0], buffer, sizeof buffer)) > 0)
        output.append(buffer, int(count));
    ::close(pipeFds[0]);
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 1);
    QCOMPARE(output, expected);
}

void tst_Guard::addPointerClearsMember()
{
    QObject owner;
    QObject old;
    QObject* pMember = &old;
    tcPointerChecker checker(&owner);
    checker.addPointer(pMember);
    QVERIFY(pMember == nullptr);
}

QTEST_GUILESS_MAIN(tst_Guard)
#include "tst_guard.moc"
