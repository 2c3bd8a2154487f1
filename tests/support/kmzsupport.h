#ifndef KMZ_SUPPORT_H
#define KMZ_SUPPORT_H

// What the tests and the benchmarks both need, in one place: where the programs
// are, the firmware marker, reproducible bytes and a raw pseudo-terminal.

#include <QByteArray>
#include <QString>

namespace kmztest {

// The programs under test: the build tree's, or those in the folder that
// KMZ_PROGRAMS_DIR names (an installed package's /usr/bin, say).
QString kmzflashPath();
QString kbdsimPath();
QString kbdprobePath();
// The preloaded stand-in for a serial driver's flags (test infrastructure).
QString fakeSerialPath();

// The text every firmware image must hold.
QByteArray firmwareMarker();
// The same bytes for the same size and seed, on every machine.
QByteArray pseudoRandomBytes(int size, quint32 seed);

// A raw pseudo-terminal pair, not handed down to the programs a test starts (or
// the line would outlive the test). *pSlavePath gets the slave's path when given.
bool openRawPty(int* pMaster, int* pSlave, QString* pSlavePath = nullptr);

} // namespace kmztest

#endif
