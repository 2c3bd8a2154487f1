#ifndef ZRN_PORTS_H
#define ZRN_PORTS_H

#include <QList>
#include <QString>

// The serial ports a technician can pick the keyboard's from (--l): what the
// platform knows of each, found without opening any port.

namespace ZRN {

struct PortRecord
{
    QString name; // as passed to the tools: /dev/ttyUSB0, COM5
    QString description;
    QString manufacturer;
    bool usb = false; // vendor and product known
    quint16 vendor = 0;
    quint16 product = 0;
    QString serialNumber;
    QString stableLink; // Linux: the /dev/serial/by-id link to the device
    qint64 holder = 0;  // the running process whose lock file names the port, 0: none
    bool console = false; // Linux: the kernel's console writes to it (not the keyboard's line)
};

// One line: the name, then what is known, empty fields left out, e.g.
// "/dev/ttyUSB0  FT232R USB UART, FTDI, USB 0403:6001, serial A1B2, /dev/serial/by-id/..."
QString portLine(const PortRecord& rPort);
// The ports the system has now, from QSerialPortInfo; none is opened.
QList<PortRecord> availablePorts();
// Prints one line per port on standard output, or a line saying there is none; 0.
int listPorts();

} // namespace ZRN

#endif
