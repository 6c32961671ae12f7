#pragma once

#include <QString>

namespace release {

// Lays out releaseDir for an FTP server that serves the bytes of names on
// disk: a new folder ftpDir whose paths are the wire's (CP949) bytes, each
// file a hard link of the release's (a copy where no link can be made),
// with the signature file and the patches that make the current files.
// Returns the process's exit code; messages go to stdout and stderr.
//
// For a web server (bHttp) the names are UTF-8 instead, as the updater
// asks for them over HTTP(S); the folder made is one version's folder
// under the base URL (<web root>/<version>).
int Stage(const QString& releaseDir, const QString& ftpDir, bool bHttp = false);

} // namespace release
