#pragma once

#include <QString>

// The text after the program's name on the command line, leading blanks
// removed. Any such text is the patch-server host for this run, so it is
// taken before Qt could read options from it.
namespace orvanta {

QString RawCommandLine(int argc, char** argv);

// What the start-up captured; the settings load reads it.
void SetCommandLineText(const QString& text);
QString CommandLineText();

} // namespace orvanta
