#ifndef ZRN_JSONEVENTS_H
#define ZRN_JSONEVENTS_H

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <cstddef>

// Results a program reads (--json as the first argument): JSON Lines on standard
// output, one object per event, each flushed when it happens. Every object's
// "event" names it: start, keyboard, step, progress, port, file, and last, always,
// end. Standard error is what it is without --json; the end object carries its
// lines. Nothing here writes anything unless --json was given.

namespace ZRN {

// Called before the message handler is chosen, when --json is given.
void enableJson();
bool jsonMode();
// Starts the stream: the tool's version, the operation, the port (empty: none)
// and each file given, with its size and SHA-256 where it can be read.
void startJson(const QString& rOperation, const QString& rPort, const QStringList& rFiles);
// One event, written whole and flushed.
void writeJsonEvent(const QJsonObject& rEvent);

// What the stream says of the run as it goes.
void jsonKeyboard(const QString& rVersionText, int major, int minor);
// A step begins: check, version, erase, write, verify, run (the file it is of,
// or empty); the step a failure ends the run in.
void jsonStep(const char* pStep, const QString& rFile);
void jsonProgress(const QString& rFile, qint64 written, qint64 total);
// The update was skipped by the version gate.
void jsonSkipped();
// The line just printed is the run's closing advice; leftErased: it says that
// the keyboard is left without working firmware.
void markAdvice(bool leftErased = false);
// Every line standard error gets (the message handler's), kept for the end.
void noteMessage(const QString& rLine);
// The end object: exit code, result, the failed step, the messages, whether the
// keyboard is left without working firmware, the advice.
void endJson(int exitCode);

// For a stop by an interrupt, which ends the process from its handler: the end
// object as it would be then, made anew at each step, and where it lies. Safe to
// read in a signal handler (the length is 0 while it is being made).
void prepareInterruptedEnd();
// Writes that end object, with the exit code (POSIX: 128 + the signal); erased:
// the stop leaves the keyboard without working firmware. Safe in a signal handler.
void writeInterruptedEnd(int exitCode, bool erased);

} // namespace ZRN

#endif
