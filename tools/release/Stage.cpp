#include "Stage.h"

#include "patchd/Release.h"

#include "patch/Cp949.h"
#include "patch/Digest.h"
#include "patch/Manifest.h"
#include "transfer/Crypto.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <system_error>

namespace release {
namespace {

namespace fs = std::filesystem;

struct CStageCounts {
    int nLinked = 0;
    int nCopied = 0;
    int nPatches = 0;
    int nStale = 0;
};

int Fail(const QString& message)
{
    std::fprintf(stderr, "orvanta-release: %s\n", message.toLocal8Bit().constData());
    return 1;
}

// A path of the staged tree, named as the server will match it: the wire's
// CP949 bytes for an FTP server, UTF-8 for a web server (the updater
// percent-encodes UTF-8).
fs::path WirePath(const fs::path& root, const std::string& folder, const std::string& name, bool bUtf8)
{
    const auto served = [bUtf8](const std::string& wire) { return bUtf8 ? orvanta::Cp949ToUtf8(wire) : wire; };
    fs::path path = root;
    if (!folder.empty())
        path /= fs::path(served(folder));
    return path / fs::path(served(name));
}

// Every folder down to path's parent, readable and searchable by the FTP
// server's own user whatever the publisher's umask.
bool MakeFolders(const fs::path& root, const fs::path& file, std::string* pError)
{
    fs::path made = root;
    for (const fs::path& step : file.parent_path().lexically_relative(root)) {
        if (step == ".")
            continue;
        made /= step;
        if (::mkdir(made.c_str(), 0755) == 0) {
            ::chmod(made.c_str(), 0755);
        } else if (errno != EEXIST) {
            *pError = made.string() + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

// A hard link keeps the staged tree free (same bytes, same inode), and the
// patch server's hashing of hard-linked versions free as well; across file
// systems, or where links are not allowed, the bytes are copied.
bool Place(const QString& source, const fs::path& target, CStageCounts* pCounts, std::string* pError)
{
    const QByteArray from = QFile::encodeName(source);
    // A link inside the release is followed: the FTP root gets the file
    // itself, never a link that would lead elsewhere from its new place.
    if (::linkat(AT_FDCWD, from.constData(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        ++pCounts->nLinked;
    } else if (errno == EXDEV || errno == EPERM || errno == EMLINK || errno == ENOTSUP || errno == EACCES) {
        std::error_code error;
        if (!fs::copy_file(fs::path(from.constData()), target, error)) {
            *pError = target.string() + ": " + error.message();
            return false;
        }
        ::chmod(target.c_str(), 0644);
        ++pCounts->nCopied;
    } else {
        *pError = target.string() + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0 && (st.st_mode & S_IROTH) == 0) {
        // vsftpd serves an anonymous or virtual user only files that others
        // may read: every player would fail on this one.
        std::fprintf(stderr, "orvanta-release: warning: %s is not readable by others; the FTP server will refuse it\n",
                     source.toLocal8Bit().constData());
    }
    return true;
}

// The patches beside file that make its current bytes, with their wire
// names. A patch carried over from an older version (cp -al) names another
// target and is left behind: no patch server would list it. Only a file
// with patches beside it is hashed.
bool PlacePatches(const patchd::CReleaseFile& file, const fs::path& root, bool bUtf8, CStageCounts* pCounts,
                  std::string* pError)
{
    const QFileInfo info(file.absolute);
    const QString prefix = info.fileName() + QLatin1Char('.');
    const QStringList candidates =
        info.dir().entryList({prefix + QStringLiteral("*") + QString::fromLatin1(orvanta::PATCH_SUFFIX.data())},
                             QDir::Files | QDir::Hidden | QDir::System);
    constexpr qsizetype HEX = qsizetype(orvanta::BASE_PREFIX_SIZE * 2);
    const qsizetype nLength = prefix.size() + HEX + 1 + HEX + qsizetype(orvanta::PATCH_SUFFIX.size());
    std::optional<orvanta::Sha256Digest> target;
    for (const QString& candidate : candidates) {
        if (candidate.size() != nLength)
            continue;  // another file's patch ("a.b.<hex>.<hex>.zpatch" beside "a")
        if (!target && !(target = orvanta::Sha256OfFile(fs::path(QFile::encodeName(file.absolute).constData())))) {
            *pError = file.path.toStdString() + ": cannot be read";
            return false;
        }
        const QString base = candidate.mid(prefix.size(), HEX);
        const auto bytes = orvanta::FromHex(base.toStdString());
        if (bytes && bytes->size() == orvanta::BASE_PREFIX_SIZE) {
            orvanta::BasePrefix prefixBytes{};
            std::copy(bytes->begin(), bytes->end(), prefixBytes.begin());
            const QString path = patchd::PatchPathFor(file.absolute, prefixBytes, *target);
            if (QFileInfo(path).fileName() == candidate && patchd::UsablePatch(path, file.entry.size)) {
                const fs::path wire =
                    WirePath(root, file.entry.folder, orvanta::PatchFileName(file.entry.name, prefixBytes, *target), bUtf8);
                if (!Place(path, wire, pCounts, pError))
                    return false;
                ++pCounts->nPatches;
                continue;
            }
        }
        ++pCounts->nStale;
    }
    return true;
}

} // namespace

int Stage(const QString& releaseDir, const QString& ftpDir, bool bHttp)
{
    const fs::path root(QFile::encodeName(QDir::cleanPath(QDir(ftpDir).absolutePath())).constData());
    std::error_code error;
    // A staged version may be in use by players: it is made once, never
    // changed in place.
    if (fs::symlink_status(root, error).type() != fs::file_type::not_found)
        return Fail(QStringLiteral("%1 exists; a staged version is never changed (remove it once no patch server "
                                   "announces it, then stage again)")
                        .arg(ftpDir));
    const QString release = QDir(releaseDir).canonicalPath();
    const QString staged = QFile::decodeName(root.c_str());
    if (!release.isEmpty() && (staged + QLatin1Char('/')).startsWith(release + QLatin1Char('/')))
        return Fail(QStringLiteral("%1 lies inside the release %2").arg(ftpDir, releaseDir));
    std::vector<patchd::CReleaseFile> files;
    QString message;
    if (!patchd::LoadReleaseFolder(releaseDir, &files, &message, false))
        return Fail(message);

    // Built beside its final name and renamed at the end, so that an FTP
    // root is either whole or absent.
    // The web root holds every version's folder: it is made when missing.
    if (bHttp && !QDir().mkpath(QFile::decodeName(root.parent_path().c_str())))
        return Fail(QStringLiteral("cannot make %1").arg(QFile::decodeName(root.parent_path().c_str())));
    fs::path partial = root;
    partial += ".partial";
    fs::remove_all(partial, error);
    if (::mkdir(partial.c_str(), 0755) != 0)
        return Fail(QStringLiteral("cannot make %1: %2")
                        .arg(QFile::decodeName(partial.c_str()), QString::fromLocal8Bit(std::strerror(errno))));
    ::chmod(partial.c_str(), 0755);

    CStageCounts counts;
    std::string why;
    bool bOk = true;
    for (const patchd::CReleaseFile& file : files) {
        const fs::path wire = WirePath(partial, file.entry.folder, file.entry.name, bHttp);
        bOk = MakeFolders(partial, wire, &why) && Place(file.absolute, wire, &counts, &why) &&
              PlacePatches(file, partial, bHttp, &counts, &why);
        if (!bOk)
            break;
    }
    const QString signature =
        QDir(releaseDir).filePath(QString::fromLatin1(orvanta::RELEASE_SIGNATURE_PATH).mid(1));
    const bool bSigned = QFileInfo(signature).isFile();
    if (bOk && bSigned)
        bOk = Place(signature, partial / fs::path(orvanta::RELEASE_SIGNATURE_PATH).relative_path(), &counts, &why);
    if (bOk && ::rename(partial.c_str(), root.c_str()) != 0) {
        why = root.string() + ": " + std::strerror(errno);
        bOk = false;
    }
    if (!bOk) {
        fs::remove_all(partial, error);
        return Fail(QStringLiteral("cannot stage %1: %2").arg(releaseDir, QString::fromLocal8Bit(why.c_str())));
    }
    if (!bSigned)
        std::fprintf(stderr, "orvanta-release: warning: %s is not signed; updaters built with a key refuse it\n",
                     releaseDir.toLocal8Bit().constData());
    std::printf("staged %zu files and %d patches in %s (%d linked, %d copied)%s%s\n", files.size(), counts.nPatches,
                root.c_str(), counts.nLinked, counts.nCopied, bSigned ? ", signed" : "",
                counts.nStale > 0 ? QStringLiteral("; %1 patches for other files left out").arg(counts.nStale)
                                        .toLocal8Bit().constData()
                                  : "");
    return 0;
}

} // namespace release
