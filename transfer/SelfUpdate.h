#pragma once

#include <QString>

// Puts a downloaded updater (_Updater) in place of the running one
// (Updater), keeping the previous one as _tmp, in the given folder. True
// only when the swap happened. When the program file cannot be replaced,
// everything is put back and _Updater stays for the next try. A _tmp left
// by an earlier swap is removed first.
bool SwapUpdater(const QString& folder);
