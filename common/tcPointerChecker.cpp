#include "tcPointerChecker.h"

#include <QCoreApplication>
#include <QDebug>
#include <QMetaObject>

#include <cstdlib>
#include <cstring>

namespace ZRN {

tcPointerChecker::tcPointerChecker(QObject* pParent)
    : QObject(pParent)
{
}

void tcPointerChecker::checkPointers() const
{
    for (void* const* pAddress : mPointers) {
        // Object pointers share one representation here; copying it out avoids
        // reading a T* through a void* lvalue.
        void* pValue = nullptr;
        std::memcpy(&pValue, pAddress, sizeof pValue);
        if (pValue == nullptr)
            failNoMemory(parent());
    }
}

void tcPointerChecker::failNoMemory(const QObject* pOwner)
{
    QString message;
    if (pOwner != nullptr) {
        message = tr("No memory for allocation resources in %1.\nApplication will be closed.")
                      .arg(QString::fromLatin1(pOwner->metaObject()->className()), 0, QLatin1Char(' '));
    } else {
        message = tr("No memory for allocation resources.\nApplication will be closed.");
    }
    qDebug() << message;

    if (QCoreApplication::instance() != nullptr)
        QCoreApplication::quit();
    // A failed allocation is a failure: scripts must see a non-zero code.
    std::exit(1);
}

} // namespace ZRN
