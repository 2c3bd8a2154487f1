#include "tcPointerChecker.h"
#include "testsupport.h"
#include "tkmzManagerOperation.h"

#include <QtTest>

#include <cstring>

using namespace ZRN;

class tst_PointerChecker : public QObject
{
    Q_OBJECT

private slots:
    void quietWhenAllocated();
    void nullMemberEndsProcess_data();
    void nullMemberEndsProcess();
    void addPointerClearsMember();
};

void tst_PointerChecker::quietWhenAllocated()
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
    QCOMPARE(pFirst->parent(), &owner);
    QCOMPARE(pSecond->parent(), &owner);
}

void tst_PointerChecker::nullMemberEndsProcess_data()
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

// The guard ends the process, so each case runs in a child: this binary again.
void tst_PointerChecker::nullMemberEndsProcess()
{
    QFETCH(bool, withOwner);
    QFETCH(QByteArray, expected);

    QProcess child;
    kmztest::start(child, QCoreApplication::applicationFilePath(), {"--guard-child", withOwner ? "operation" : "none"});
    QVERIFY(child.waitForFinished(10000));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 1);
    QCOMPARE(child.readAllStandardError(), expected);
}

void tst_PointerChecker::addPointerClearsMember()
{
    QObject owner;
    QObject old;
    QObject* pMember = &old;
    tcPointerChecker checker(&owner);
    checker.addPointer(pMember);
    QVERIFY(pMember == nullptr);
}

namespace {

// Runs a constructor's guard with a member left null; never returns.
int guardChild(int argc, char* argv[], bool withOwner)
{
    QCoreApplication application(argc, argv);
    tkmzManagerOperation owner;
    tcPointerChecker checker(withOwner ? &owner : nullptr);
    QObject* pMember = nullptr;
    checker.addPointer(pMember);
    checker.checkPointers();
    return 42;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc == 3 && std::strcmp(argv[1], "--guard-child") == 0)
        return guardChild(argc, argv, std::strcmp(argv[2], "operation") == 0);
    QCoreApplication application(argc, argv);
    tst_PointerChecker test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_pointerchecker.moc"
