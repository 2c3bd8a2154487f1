#include "ports.h"

#include "console/jsonevents.h"

#include "console/messages.h"
#include "tkmzManagerCommunication.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <QStringList>


namespace ZRN {

QString portLine(const PortRecord& rPort)
{
    QStringList known;
    for (const QString& text : {rPort.description, rPort.manufacturer}) {
        if (!text.trimmed().isEmpty())
            known << text.trimmed();
    }
    if (rPort.usb)
        known << QStringLiteral("USB %1:%2").arg(rPort.vendor, 4, 16, QLatin1Char('0')).arg(rPort.product, 4, 16,
                                                                                             QLatin1Char('0'));
    if (!rPort.serialNumber.trimmed().isEmpty())
        known << QStringLiteral("serial %1").arg(rPort.serialNumber.trimmed());
    if (!rPort.stableLink.isEmpty())
        known << rPort.stableLink;
    QString line = rPort.name;
    if (!known.isEmpty())
        line += QLatin1String("  ") + known.join(QLatin1String(", "));
    if (rPort.holder > 0)
        line += QStringLiteral(" (in use by process %1)").arg(rPort.holder);
    if (rPort.console)
        line += QStringLiteral(" (system console)");
    return line;
}

QList<PortRecord> availablePorts()
{
    QList<PortRecord> ports;
    // The ports the kernel's console writes to (console=ttyS0 on its command line):
    // a keyboard there would read the boot messages.
    QFile consoleFile(QStringLiteral("/sys/class/tty/console/active"));
    const QStringList consoles = consoleFile.open(QIODevice::ReadOnly)
                                     ? QString::fromLatin1(consoleFile.read(4096)).simplified().split(
                                           QLatin1Char(' '), Qt::SkipEmptyParts)
                                     : QStringList();
    // The stable names a udev system gives each adapter, by the device they lead to.
    const QFileInfoList links =
        QDir(QStringLiteral("/dev/serial/by-id")).entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot,
                                                                QDir::Name);
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        PortRecord port;
#ifdef Q_OS_WIN
        port.name = info.portName();
#else
        port.name = info.systemLocation();
#endif
        port.description = info.description();
        port.manufacturer = info.manufacturer();
        port.usb = info.hasVendorIdentifier() && info.hasProductIdentifier();
        port.vendor = info.vendorIdentifier();
        port.product = info.productIdentifier();
        port.serialNumber = tkmzManagerCommunication::serialNumberOf(info);
        for (const QFileInfo& link : links) {
            if (link.canonicalFilePath() == QFileInfo(info.systemLocation()).canonicalFilePath()) {
                port.stableLink = link.absoluteFilePath();
                break;
            }
        }
        port.holder = tkmzManagerCommunication::portHolder(port.name);
        port.console = consoles.contains(info.portName());
        ports << port;
    }
    return ports;
}

int listPorts()
{
    const QList<PortRecord> ports = availablePorts();
    if (jsonMode()) {
        const auto text = [](const QString& rText) {
            return rText.trimmed().isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(rText.trimmed());
        };
        for (const PortRecord& rPort : ports) {
            writeJsonEvent({{QStringLiteral("event"), QStringLiteral("port")},
                            {QStringLiteral("name"), rPort.name},
                            {QStringLiteral("description"), text(rPort.description)},
                            {QStringLiteral("manufacturer"), text(rPort.manufacturer)},
                            {QStringLiteral("usb_vendor"), rPort.usb ? QJsonValue(int(rPort.vendor)) : QJsonValue()},
                            {QStringLiteral("usb_product"), rPort.usb ? QJsonValue(int(rPort.product)) : QJsonValue()},
                            {QStringLiteral("serial_number"), text(rPort.serialNumber)},
                            {QStringLiteral("by_id"), text(rPort.stableLink)},
                            {QStringLiteral("holder"), rPort.holder > 0 ? QJsonValue(double(rPort.holder)) : QJsonValue()},
                            {QStringLiteral("console"), rPort.console}});
        }
        return 0;
    }
    QString text;
    for (const PortRecord& port : ports)
        text += portLine(port) + QLatin1Char('\n');
    if (ports.isEmpty())
        text = QStringLiteral("No serial ports found.\n");
    writeText(stdout, text);
    return 0;
}

} // namespace ZRN
