#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Every parser that reads input from outside the program, each behind one entry point that
// takes arbitrary bytes. libFuzzer drives them (fuzz/fuzzmain.cpp, scripts/fuzz.sh); the
// regression suite replays the seed corpus and every input that once broke something
// (fuzz/corpus/<target>/, fuzz/regressions/<target>/) through the same functions.
namespace FuzzTargets {

// Names of the targets, as used for the corpus folders and the fuzzer executables.
QStringList names();

// Runs one input through the named target. False for an unknown name.
bool run(const QString &target, const QByteArray &input);

// Call once before the first run: an application object, a private installation root and
// settings folder under dir, and quiet logging.
void initialize(const QString &dir);

} // namespace FuzzTargets
