// orvanta-release: the publisher's release tool. It makes an Ed25519 key
// pair, signs a release folder's list (the version, and every file's
// folder, name, size and SHA-256 in the order the patch server lists them)
// into the signature file that lies beside the release on the FTP server,
// and makes the binary patches from an older release's files to the new
// ones, which lie beside the new files.
#include "Stage.h"
#include "patchd/Release.h"

#include "patch/Manifest.h"
#include "transfer/Crypto.h"
#include "transfer/Delta.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <thread>

namespace {

int Fail(const QString& message)
{
    std::fprintf(stderr, "orvanta-release: %s\n", message.toLocal8Bit().constData());
    return 1;
}

void Usage(std::FILE* pOut)
{
    std::fputs("usage:\n"
               "  orvanta-release keygen PRIVATE.pem PUBLIC.pub\n"
               "      Makes a key pair: two new files (it never overwrites one), PRIVATE.pem\n"
               "      readable by you alone. Keep PRIVATE.pem off every server; build the\n"
               "      updater with -DORVANTA_RELEASE_PUBLIC_KEY=<the hex text of PUBLIC.pub>.\n"
               "  orvanta-release sign PRIVATE.pem RELEASE_DIR VERSION\n"
               "      Signs the release in RELEASE_DIR as version VERSION and writes\n"
               "      RELEASE_DIR/.orvanta-release.sig. Sign after the last change to the\n"
               "      folder; the patch server must announce the same version. A folder named\n"
               "      by a number (a version of a history, as orvanta-patchd --releases reads\n"
               "      it) is signed only as that version. Refused, naming the file: what an\n"
               "      updater refuses (names Windows cannot hold or that clash but for case,\n"
               "      names without a CP949 form or not UTF-8, more than 200000 files), links\n"
               "      that leave the folder or lead to a folder, FIFOs, sockets, devices,\n"
               "      files that change while read, temporary files of an interrupted run,\n"
               "      and private keys.\n"
               "  orvanta-release verify PUBLIC.pub RELEASE_DIR\n"
               "      Checks RELEASE_DIR's signature and that it matches the folder.\n"
               "  orvanta-release delta OLD_DIR NEW_DIR [--level N] [--threads N]\n"
               "                       [--min-size BYTES] [--max-share PERCENT]\n"
               "      For every file of NEW_DIR that OLD_DIR holds with other bytes, makes the\n"
               "      patch from the old file to the new one beside it in NEW_DIR\n"
               "      (NAME.<old digest prefix>.<new digest prefix>.zpatch). Files under\n"
               "      --min-size (1048576) are left whole, and so is a file whose patch is not\n"
               "      under --max-share (50) per cent of it. --level is zstd's (19), --threads\n"
               "      its workers (all cores).\n"
               "  orvanta-release stage RELEASE_DIR FTP_DIR\n"
               "      Makes FTP_DIR (new) the FTP root of RELEASE_DIR for a server that serves the\n"
               "      bytes of names on disk: names in the updater's CP949, files hard-linked\n"
               "      (copied across file systems), with the signature and the patches that\n"
               "      make the current files. Stage after sign.\n"
               "  orvanta-release stage --http RELEASE_DIR WEB_DIR/VERSION\n"
               "      The same for a web server or content network: names in UTF-8, one new\n"
               "      folder per version under the base URL the patch server announces\n"
               "      (--http-url), never changed once published.\n",
               pOut);
}

bool WriteFile(const QString& path, const QByteArray& bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(bytes);
    return file.commit();
}

void Warn(const QStringList& warnings)
{
    for (const QString& warning : warnings)
        std::fprintf(stderr, "orvanta-release: warning: %s\n", warning.toLocal8Bit().constData());
}

// The release in folder with every file's digest; what the tool refuses
// to sign is an error, what it signs but the publisher should hear is
// printed.
bool LoadRelease(const QString& folder, std::vector<patchd::CReleaseFile>* pFiles, QString* pError)
{
    QStringList warnings;
    const bool bOk = patchd::LoadReleaseFolder(folder, pFiles, pError, true, &warnings);
    Warn(warnings);
    return bOk;
}

std::optional<orvanta::ReleaseManifest> ScanRelease(const QString& folder, std::int32_t nVersion, QString* pError)
{
    std::vector<patchd::CReleaseFile> files;
    if (!LoadRelease(folder, &files, pError))
        return std::nullopt;
    orvanta::ReleaseManifest manifest;
    manifest.nVersion = nVersion;
    for (const patchd::CReleaseFile& file : files)
        manifest.entries.push_back(file.entry);
    return manifest;
}

QString SignaturePath(const QString& folder)
{
    return QDir(folder).filePath(QString::fromLatin1(orvanta::RELEASE_SIGNATURE_PATH).mid(1));
}

// Where path leads, with its folder's links resolved: two names of one
// file compare equal.
QString ResolvedPath(const QString& path)
{
    const QFileInfo info(path);
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    return folder.isEmpty() ? info.absoluteFilePath() : QDir(folder).filePath(info.fileName());
}

// Creates path with bytes, never over an existing file or through a link:
// a key is written once. nMode is the mode it is created with, before the
// umask, so the private key is never readable by others, not even while
// it is written.
bool WriteNewFile(const QString& path, const QByteArray& bytes, mode_t nMode, QString* pError,
                  mode_t* pModeMade = nullptr)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          nMode);
    if (fd < 0) {
        *pError = errno == EEXIST ? QStringLiteral("%1 exists; not overwritten").arg(path)
                                  : QStringLiteral("cannot write %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    struct stat st {};
    bool bOk = ::fstat(fd, &st) == 0;
    // A file system that keeps no modes (a FAT or network mount) may grant
    // more than asked for; the caller warns when it still does.
    if (bOk && (st.st_mode & ~nMode & 0777) != 0 && ::fchmod(fd, nMode) == 0)
        bOk = ::fstat(fd, &st) == 0;
    qsizetype nDone = 0;
    while (bOk && nDone < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + nDone, std::size_t(bytes.size() - nDone));
        if (n < 0 && errno == EINTR)
            continue;
        bOk = n > 0;
        nDone += n > 0 ? n : 0;
    }
    bOk = bOk && ::fsync(fd) == 0;
    const int nError = errno;
    bOk = ::close(fd) == 0 && bOk;
    if (!bOk) {
        ::unlink(QFile::encodeName(path).constData());
        *pError = QStringLiteral("cannot write %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(nError)));
        return false;
    }
    if (pModeMade)
        *pModeMade = st.st_mode & 0777;
    return true;
}

int KeyGen(const QString& privatePath, const QString& publicPath)
{
    if (ResolvedPath(privatePath) == ResolvedPath(publicPath))
        return Fail(QStringLiteral("%1 is given for both keys; the public key needs a file of its own").arg(privatePath));
    // Both checked before either is written, so that a refusal leaves no
    // half of a pair behind.
    for (const QString& path : {privatePath, publicPath}) {
        if (QFileInfo::exists(path) || QFileInfo(path).isSymLink())
            return Fail(QStringLiteral("%1 exists; not overwritten").arg(path));
    }
    const auto pair = orvanta::GenerateEd25519();
    if (!pair)
        return Fail(QStringLiteral("no key could be made"));
    QString error;
    mode_t nPrivateMode = 0;
    if (!WriteNewFile(privatePath, QByteArray::fromStdString(pair->privatePem), 0600, &error, &nPrivateMode))
        return Fail(error);
    if (!WriteNewFile(publicPath, QByteArray::fromStdString(orvanta::ToHex(pair->publicKey) + "\n"), 0644, &error)) {
        ::unlink(QFile::encodeName(privatePath).constData());
        return Fail(error);
    }
    if ((nPrivateMode & 0077) != 0)
        std::fprintf(stderr,
                     "orvanta-release: warning: %s can be read or written by other users (mode %03o); move it "
                     "where only you can read it\n",
                     privatePath.toLocal8Bit().constData(), unsigned(nPrivateMode));
    std::printf("public key %s\n", orvanta::ToHex(pair->publicKey).c_str());
    return 0;
}

// The version a folder stands for in a history (named by its number, as
// orvanta-patchd --releases reads it); nothing for other names.
std::optional<std::int32_t> FolderVersion(const QString& folder)
{
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    std::int32_t nVersion = 0;
    if (canonical.isEmpty() || !patchd::ParseVersionName(QFileInfo(canonical).fileName(), &nVersion))
        return std::nullopt;
    return nVersion;
}

int Sign(const QString& privatePath, const QString& folder, const QString& versionText)
{
    bool bOk = false;
    const qlonglong nVersion = versionText.toLongLong(&bOk);
    if (!bOk || nVersion < std::numeric_limits<std::int32_t>::min() || nVersion > std::numeric_limits<std::int32_t>::max())
        return Fail(QStringLiteral("bad version %1").arg(versionText));
    // A patch server announces a history's folder as the version it is
    // named by; signed as another, every keyed player would refuse it.
    if (const auto nNamed = FolderVersion(folder); nNamed && *nNamed != nVersion)
        return Fail(QStringLiteral("%1 is the folder of version %2 in a history; it cannot be signed as version %3")
                        .arg(folder)
                        .arg(*nNamed)
                        .arg(nVersion));
    QString error;
    const auto pem = patchd::LoadPrivateKey(privatePath, &error);
    if (!pem)
        return Fail(error);
    const auto manifest = ScanRelease(folder, std::int32_t(nVersion), &error);
    if (!manifest)
        return Fail(error);
    const std::string text = orvanta::ManifestText(*manifest);
    const auto signature = orvanta::SignEd25519(*pem, text);
    if (!signature)
        return Fail(QStringLiteral("%1 is not an Ed25519 private key").arg(privatePath));
    if (!WriteFile(SignaturePath(folder), QByteArray::fromStdString(orvanta::SignatureFileText(text, *signature))))
        return Fail(QStringLiteral("cannot write %1").arg(SignaturePath(folder)));
    std::printf("signed version %lld: %zu files\n", nVersion, manifest->entries.size());
    return 0;
}

int Verify(const QString& publicPath, const QString& folder)
{
    QString error;
    const auto publicKey = patchd::LoadPublicKey(publicPath, &error);
    if (!publicKey)
        return Fail(error);
    std::vector<patchd::CReleaseFile> files;
    std::int32_t nVersion = 0;
    if (!LoadRelease(folder, &files, &error) ||
        !patchd::CheckReleaseSignature(folder, files, *publicKey, FolderVersion(folder), &error, &nVersion))
        return Fail(error);
    std::printf("version %d: signature good, %zu files match\n", nVersion, files.size());
    return 0;
}

struct DeltaOptions {
    orvanta::PatchOptions patch;
    std::uint64_t nMinSize = 1 << 20;
    int nMaxSharePercent = 50;
};

bool ParseDeltaOptions(const QStringList& args, DeltaOptions* pOptions)
{
    for (qsizetype i = 0; i + 1 < args.size(); i += 2) {
        bool bOk = false;
        const qlonglong n = args[i + 1].toLongLong(&bOk);
        if (!bOk || n < 0)
            return false;
        if (args[i] == QLatin1String("--level") && n >= 1 && n <= 22)
            pOptions->patch.nLevel = int(n);
        else if (args[i] == QLatin1String("--threads") && n <= 256)
            pOptions->patch.nThreads = int(n);
        else if (args[i] == QLatin1String("--min-size"))
            pOptions->nMinSize = std::uint64_t(n);
        else if (args[i] == QLatin1String("--max-share") && n >= 1 && n <= 100)
            pOptions->nMaxSharePercent = int(n);
        else
            return false;
    }
    return args.size() % 2 == 0;
}

int Delta(const QString& oldFolder, const QString& newFolder, const DeltaOptions& options)
{
    std::vector<patchd::CReleaseFile> oldFiles;
    std::vector<patchd::CReleaseFile> newFiles;
    QString error;
    if (!patchd::LoadReleaseFolder(oldFolder, &oldFiles, &error, false) || !LoadRelease(newFolder, &newFiles, &error))
        return Fail(error);
    std::map<QString, const patchd::CReleaseFile*> byPath;
    for (const patchd::CReleaseFile& file : oldFiles)
        byPath[file.path] = &file;
    std::uint64_t nWhole = 0;
    std::uint64_t nPatches = 0;
    int nMade = 0;
    for (const patchd::CReleaseFile& file : newFiles) {
        const auto found = byPath.find(file.path);
        if (found == byPath.end() || file.entry.size < options.nMinSize || found->second->entry.size == 0)
            continue;
        const auto oldDigest = patchd::FileDigest(found->second->absolute);
        const auto newDigest = orvanta::EntryDigest(file.entry);
        if (!oldDigest || !newDigest)
            return Fail(QStringLiteral("%1: cannot be read").arg(file.path));
        if (*oldDigest == *newDigest)
            continue;  // unchanged
        const orvanta::BasePrefix base = orvanta::PrefixOf(*oldDigest);
        const QString patchPath = patchd::PatchPathFor(file.absolute, base, *newDigest);
        const auto started = std::chrono::steady_clock::now();
        std::string why;
        const auto nPatch = orvanta::MakePatch(QFile::encodeName(found->second->absolute).toStdString(),
                                               QFile::encodeName(file.absolute).toStdString(),
                                               QFile::encodeName(patchPath).toStdString(), options.patch, &why);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (!nPatch) {
            std::printf("%s: whole (%s)\n", file.path.toLocal8Bit().constData(), why.c_str());
            continue;
        }
        const double share = 100.0 * double(*nPatch) / double(file.entry.size);
        if (*nPatch * 100 >= std::uint64_t(file.entry.size) * std::uint64_t(options.nMaxSharePercent)) {
            QFile::remove(patchPath);
            std::printf("%s: whole (the patch would be %.1f %% of it)\n", file.path.toLocal8Bit().constData(), share);
            continue;
        }
        std::printf("%s: patch of %llu bytes for %u (%.2f %%) in %.1f s\n", file.path.toLocal8Bit().constData(),
                    static_cast<unsigned long long>(*nPatch), file.entry.size, share, seconds);
        nWhole += file.entry.size;
        nPatches += *nPatch;
        ++nMade;
    }
    std::printf("%d patches: %llu bytes in place of %llu\n", nMade, static_cast<unsigned long long>(nPatches),
                static_cast<unsigned long long>(nWhole));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() == 1 && (args[0] == QLatin1String("--help") || args[0] == QLatin1String("-h"))) {
        Usage(stdout);
        return 0;
    }
    if (args.size() == 1 && args[0] == QLatin1String("--version")) {
        std::printf("orvanta-release %s\n", ORVANTA_VERSION);
        return 0;
    }
    if (args.size() == 3 && args[0] == QLatin1String("keygen"))
        return KeyGen(args[1], args[2]);
    if (args.size() == 4 && args[0] == QLatin1String("sign"))
        return Sign(args[1], args[2], args[3]);
    if (args.size() == 3 && args[0] == QLatin1String("verify"))
        return Verify(args[1], args[2]);
    if (args.size() == 3 && args[0] == QLatin1String("stage"))
        return release::Stage(args[1], args[2]);
    if (args.size() == 4 && args[0] == QLatin1String("stage") && args[1] == QLatin1String("--http"))
        return release::Stage(args[2], args[3], true);
    if (args.size() >= 3 && args[0] == QLatin1String("delta")) {
        DeltaOptions options;
        options.patch.nThreads = int(std::max(1u, std::thread::hardware_concurrency()));
        if (ParseDeltaOptions(args.mid(3), &options))
            return Delta(args[1], args[2], options);
    }
    Usage(stderr);
    return 2;
}
