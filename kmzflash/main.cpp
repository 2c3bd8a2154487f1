#include "tkmzInterruptGuard.h"
#include "tkmzManagerOperation.h"

#include <QCoreApplication>
#include <QStringList>

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    int result = 0;
    {
        ZRN::tkmzManagerOperation operation;
        ZRN::tkmzInterruptGuard interrupts(&operation);
        {
            const QStringList arguments = QCoreApplication::arguments();
            result = operation.dispatch(arguments);
        }
        QCoreApplication::processEvents();
    }
    return result;
}
