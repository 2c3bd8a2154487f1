#ifndef ZRN_SIMOPTIONS_H
#define ZRN_SIMOPTIONS_H

#include "simkeyboard.h"

#include <QCommandLineParser>
#include <QStringList>

namespace ZRN {
namespace sim {

// Everything kbdsim's command line sets, checked.
struct SimOptions
{
    SimConfig config;
    int baud = 0;
    int durationMs = 0;
    int probeDelayMs = 0;
    int probePauseMs = 0;
    int probeWaitMs = 0;
    QStringList probeSteps;
};

// Declares kbdsim's options (and its help text) on the parser.
void addSimOptions(QCommandLineParser& rParser);
// Reads the parsed options and checks every value, the flash image included
// (read here); false with one line per problem in *pErrors.
bool readSimOptions(const QCommandLineParser& rParser, SimOptions* pOptions, QStringList* pErrors);

} // namespace sim
} // namespace ZRN

#endif
