#include "Release.h"

#include "patch/Cp949.h"
#include "patch/Digest.h"
#include "patch/Manifest.h"
#include "transfer/Crypto.h"
#include "transfer/Delta.h"
#include "patch/PatchFrame.h"

#include "transfer/PathRules.h"

#include <QDir>
#include <QFileInfo>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <utility>

namespace patchd {
namespace {

void AppendFrame(std::string* pOut, std::int32_t nType, const std::vector<std::uint8_t>& payload)
{
    const auto frame = orvanta::EncodeFrame(nType, payload);
    if (frame)
        pOut->append(reinterpret_cast<const char*>(frame->data()), frame->size());
}

// Same file when both names lead to one inode: a publisher who makes each
// version as hard links of the previous one pays no hashing for them.
bool SameInode(const QString& a, const QString& b)
{
    struct stat sa {};
    struct stat sb {};
    return ::stat(QFile::encodeName(a).constData(), &sa) == 0 && ::stat(QFile::encodeName(b).constData(), &sb) == 0 &&
           sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// What a name that starts like a number ("0044", "+44", "-5", "44x",
// "99999999999") would read as, leniently; nothing for other names
// ("current", "old"), which are no one's version.
std::optional<std::int64_t> LenientVersion(const QString& name)
{
    qsizetype i = 0;
    const bool bNegative = name.startsWith(QLatin1Char('-'));
    if (bNegative || name.startsWith(QLatin1Char('+')))
        ++i;
    if (i >= name.size() || name[i] < QLatin1Char('0') || name[i] > QLatin1Char('9'))
        return std::nullopt;
    std::int64_t n = 0;
    for (; i < name.size() && name[i] >= QLatin1Char('0') && name[i] <= QLatin1Char('9'); ++i)
        n = std::min<std::int64_t>(n * 10 + (name[i].unicode() - u'0'), std::int64_t(1) << 40);
    return bNegative ? -n : n;
}

} // namespace

bool ToFieldText(const QString& text, std::size_t nField, std::string* pOut)
{
    return orvanta::ToWireText(text.toStdString(), nField, pOut) == orvanta::WireTextFault::NONE;
}

bool ParseVersionName(const QString& name, std::int32_t* pOut)
{
    if (name.isEmpty() || name.size() > 10 || (name.size() > 1 && name.front() == QLatin1Char('0')))
        return false;
    std::int64_t n = 0;
    for (const QChar c : name) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        n = n * 10 + (c.unicode() - u'0');
    }
    if (n > std::numeric_limits<std::int32_t>::max())
        return false;
    *pOut = std::int32_t(n);
    return true;
}

namespace {

constexpr std::size_t READ_BLOCK = std::size_t(1) << 20;
// A PEM key's header lies in its first lines.
constexpr std::size_t KEY_HEAD = 4096;
// Warnings of one kind named one by one; the rest are counted.
constexpr qsizetype WARNINGS_NAMED = 5;

// A name as the publisher reads it: its text, or for bytes that are not
// UTF-8, the printable ASCII as is and every other byte as \xNN.
QString Shown(std::string_view bytes)
{
    if (orvanta::IsValidUtf8(bytes))
        return QString::fromUtf8(bytes.data(), qsizetype(bytes.size()));
    QString out;
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        out += c >= 0x20 && c < 0x7F ? QString(QChar(c)) : QStringLiteral("\\x%1").arg(unsigned(c), 2, 16, QLatin1Char('0'));
    }
    return out;
}

QString ErrnoText(int nError)
{
    return QString::fromLocal8Bit(std::strerror(nError));
}

QString KindOf(mode_t nMode)
{
    if (S_ISFIFO(nMode))
        return QStringLiteral("a FIFO");
    if (S_ISSOCK(nMode))
        return QStringLiteral("a socket");
    if (S_ISCHR(nMode) || S_ISBLK(nMode))
        return QStringLiteral("a device");
    return QStringLiteral("not a regular file");
}

bool SameTime(const timespec& a, const timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

struct CFound {
    std::string relative;  // UTF-8, "/" separated
    std::size_t nSlash = std::string::npos;
    bool bLink = false;
    struct stat st {};  // of the file itself, a link followed
};

// One walk of a release folder, from its real path, by descriptors: what
// is checked is what is read.
class CFolderWalk final {
public:
    CFolderWalk(const QString& folder, QString* pError) : m_folder(folder), m_pError(pError) {}

    bool Run(std::vector<CFound>* pFound, QStringList* pWarnings)
    {
        char* pReal = ::realpath(QFile::encodeName(m_folder).constData(), nullptr);
        if (!pReal)
            return Refuse({}, QStringLiteral("cannot be opened: %1").arg(ErrnoText(errno)));
        m_root = pReal;
        std::free(pReal);
        const int fd = ::open(m_root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            return Refuse({}, QStringLiteral("cannot be opened: %1").arg(ErrnoText(errno)));
        m_pFound = pFound;
        m_pWarnings = pWarnings;
        const bool bOk = Walk(fd, {});
        WarnAll(m_unreadable, QStringLiteral("not readable by every user: an FTP server that serves only "
                                             "world-readable files (vsftpd's default for anonymous users) "
                                             "refuses it; chmod a+rX"));
        WarnAll(m_absoluteLinks, QStringLiteral("a link by absolute path: an FTP server that jails its users "
                                                "(vsftpd's chroot) cannot follow it; make it relative or copy the "
                                                "file in"));
        WarnAll(m_unbound, QStringLiteral("a patch of the older form, bound to its base only: it is neither listed "
                                          "nor offered; delete it"));
        return bOk;
    }

    bool Refuse(const std::string& relative, const QString& why)
    {
        *m_pError = relative.empty() ? QStringLiteral("%1: %2").arg(m_folder, why)
                                     : QStringLiteral("%1: %2: %3").arg(m_folder, Shown(relative), why);
        return false;
    }

private:
    void WarnAll(const QStringList& paths, const QString& why)
    {
        if (!m_pWarnings)
            return;
        for (qsizetype i = 0; i < std::min(paths.size(), WARNINGS_NAMED); ++i)
            m_pWarnings->append(QStringLiteral("%1: %2: %3").arg(m_folder, paths[i], why));
        if (paths.size() > WARNINGS_NAMED)
            m_pWarnings->append(QStringLiteral("%1: %2 more: %3").arg(m_folder).arg(paths.size() - WARNINGS_NAMED).arg(why));
    }

    // Takes fd over.
    bool Walk(int fd, const std::string& prefix)
    {
        DIR* pDir = ::fdopendir(fd);
        if (!pDir) {
            ::close(fd);
            return Refuse(prefix, QStringLiteral("cannot be read: %1").arg(ErrnoText(errno)));
        }
        std::vector<std::string> names;
        errno = 0;
        while (const dirent* pEntry = ::readdir(pDir)) {
            const std::string_view name = pEntry->d_name;
            if (name != "." && name != "..")
                names.emplace_back(name);
        }
        const int nReadError = errno;
        bool bOk = nReadError == 0 || Refuse(prefix, QStringLiteral("cannot be read: %1").arg(ErrnoText(nReadError)));
        std::sort(names.begin(), names.end());
        for (std::size_t i = 0; bOk && i < names.size(); ++i)
            bOk = Visit(::dirfd(pDir), prefix, names[i]);
        ::closedir(pDir);
        return bOk;
    }

    bool Visit(int dirFd, const std::string& prefix, const std::string& name)
    {
        const std::string relative = prefix.empty() ? name : prefix + "/" + name;
        if (!orvanta::IsValidUtf8(name))
            return Refuse(relative, QStringLiteral("a name that is not valid UTF-8"));
        CFound found;
        found.relative = relative;
        found.nSlash = prefix.empty() ? std::string::npos : prefix.size();
        if (::fstatat(dirFd, name.c_str(), &found.st, AT_SYMLINK_NOFOLLOW) != 0)
            return Refuse(relative, QStringLiteral("cannot be read: %1").arg(ErrnoText(errno)));
        if (prefix.empty() && name == std::string_view(orvanta::RELEASE_SIGNATURE_PATH).substr(1))
            return true;
        if (!S_ISDIR(found.st.st_mode) && orvanta::IsPatchFileName(name)) {
            if (orvanta::IsUnboundPatchFileName(name))
                m_unbound << Shown(relative);
            return true;
        }
        if (orvanta::IsTemporaryFileName(name))
            return Refuse(relative, QStringLiteral("the temporary file of an interrupted run; delete it"));
        if (S_ISDIR(found.st.st_mode)) {
            if ((found.st.st_mode & (S_IROTH | S_IXOTH)) != (S_IROTH | S_IXOTH))
                m_unreadable << Shown(relative) + QLatin1Char('/');
            const int fd = ::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0)
                return Refuse(relative, QStringLiteral("cannot be read: %1").arg(ErrnoText(errno)));
            return Walk(fd, relative);
        }
        if (S_ISLNK(found.st.st_mode)) {
            const std::string path = m_root + "/" + relative;
            char* pTarget = ::realpath(path.c_str(), nullptr);
            if (!pTarget)
                return Refuse(relative, QStringLiteral("a link that leads nowhere"));
            const std::string target = pTarget;
            std::free(pTarget);
            if (!target.starts_with(m_root + "/"))
                return Refuse(relative, QStringLiteral("a link to %1, outside the release folder: the FTP server "
                                                       "would not serve it; copy the file in")
                                            .arg(Shown(target)));
            if (::stat(target.c_str(), &found.st) != 0)
                return Refuse(relative, QStringLiteral("cannot be read: %1").arg(ErrnoText(errno)));
            if (S_ISDIR(found.st.st_mode))
                return Refuse(relative, QStringLiteral("a link to a folder (%1): copy or hard-link its files "
                                                       "instead")
                                            .arg(Shown(target)));
            found.bLink = true;
            char text[2];
            if (::readlinkat(dirFd, name.c_str(), text, sizeof text) > 0 && text[0] == '/')
                m_absoluteLinks << Shown(relative);
        }
        if (!S_ISREG(found.st.st_mode))
            return Refuse(relative, KindOf(found.st.st_mode) + QStringLiteral(", not a file to release"));
        if ((found.st.st_mode & S_IROTH) == 0)
            m_unreadable << Shown(relative);
        if (m_pFound->size() >= orvanta::MAX_LIST_ENTRIES)
            return Refuse({}, QStringLiteral("more than %1 files, more than an updater takes").arg(orvanta::MAX_LIST_ENTRIES));
        m_pFound->push_back(std::move(found));
        return true;
    }

    QString m_folder;
    QString* m_pError;
    std::string m_root;
    std::vector<CFound>* m_pFound = nullptr;
    QStringList* m_pWarnings = nullptr;
    QStringList m_unreadable;
    QStringList m_unbound;
    QStringList m_absoluteLinks;
};

// Reads a file once through: its digest, its size as read, and whether it
// starts like a private key. Nothing, with why, when it cannot be read or
// was changed or replaced while it was read.
struct CRead {
    orvanta::Sha256Digest digest{};
    std::uint64_t nSize = 0;
    bool bKey = false;
};
std::optional<CRead> ReadWhole(const std::string& path, const CFound& found, std::uint8_t* pBuffer, QString* pWhy)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | (found.bLink ? 0 : O_NOFOLLOW));
    if (fd < 0) {
        *pWhy = QStringLiteral("cannot be read: %1").arg(ErrnoText(errno));
        return std::nullopt;
    }
    struct stat before {};
    struct stat after {};
    CRead read;
    bool bOk = ::fstat(fd, &before) == 0 && S_ISREG(before.st_mode) && before.st_dev == found.st.st_dev &&
               before.st_ino == found.st.st_ino;
    if (!bOk)
        *pWhy = QStringLiteral("replaced while it was read; run again once it is left alone");
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    orvanta::CSha256 hash;
    while (bOk) {
        const ssize_t n = ::read(fd, pBuffer, READ_BLOCK);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *pWhy = QStringLiteral("cannot be read: %1").arg(ErrnoText(errno));
            bOk = false;
            break;
        }
        if (n == 0)
            break;
        if (read.nSize == 0)
            read.bKey = orvanta::LooksLikePrivateKey(
                std::string_view(reinterpret_cast<const char*>(pBuffer), std::min<std::size_t>(std::size_t(n), KEY_HEAD)));
        hash.Update(pBuffer, std::size_t(n));
        read.nSize += std::uint64_t(n);
    }
    // What was read must be the whole file as it stood before and after:
    // a file written meanwhile would be signed with bytes nobody serves.
    if (bOk && (::fstat(fd, &after) != 0 || after.st_size != before.st_size ||
                read.nSize != std::uint64_t(before.st_size) || !SameTime(after.st_mtim, before.st_mtim))) {
        *pWhy = QStringLiteral("changed while it was read (%1 bytes before, %2 read, %3 after); run again once "
                               "it is left alone")
                    .arg(qint64(before.st_size))
                    .arg(read.nSize)
                    .arg(qint64(after.st_size));
        bOk = false;
    }
    ::close(fd);
    read.digest = hash.Final();
    if (bOk && !hash.IsOk()) {
        *pWhy = QStringLiteral("cannot be hashed");
        bOk = false;
    }
    return bOk ? std::optional<CRead>(read) : std::nullopt;
}

} // namespace

bool LoadReleaseFolder(const QString& folder, std::vector<CReleaseFile>* pFiles, QString* pError, bool bDigests,
                       QStringList* pWarnings)
{
    std::vector<CFound> found;
    CFolderWalk walk(folder, pError);
    if (!walk.Run(&found, pWarnings))
        return false;
    // Sorted by folder, then path: the walk's order is by path alone.
    std::sort(found.begin(), found.end(), [](const CFound& a, const CFound& b) {
        const std::string_view folderA = a.nSlash == std::string::npos ? std::string_view() : std::string_view(a.relative).substr(0, a.nSlash);
        const std::string_view folderB = b.nSlash == std::string::npos ? std::string_view() : std::string_view(b.relative).substr(0, b.nSlash);
        return folderA != folderB ? folderA < folderB : a.relative < b.relative;
    });
    const QString absoluteRoot = QDir(folder).absolutePath();
    std::vector<CReleaseFile> files;
    files.reserve(found.size());
    for (const CFound& item : found) {
        const std::string_view relative = item.relative;
        const std::string_view folderPart = item.nSlash == std::string::npos ? std::string_view() : relative.substr(0, item.nSlash);
        const std::string_view namePart = item.nSlash == std::string::npos ? relative : relative.substr(item.nSlash + 1);
        CReleaseFile file;
        file.path = QString::fromStdString(item.relative);
        file.absolute = absoluteRoot + QLatin1Char('/') + file.path;
        QString why;
        const auto wire = [&why](std::string_view text, std::size_t nField, const char* what, std::string* pOut) {
            switch (orvanta::ToWireText(text, nField, pOut)) {
            case orvanta::WireTextFault::NONE:
                return true;
            case orvanta::WireTextFault::NOT_UTF8:
                why = QStringLiteral("a name that is not valid UTF-8");
                break;
            case orvanta::WireTextFault::NO_CP949:
                why = QStringLiteral("the %1 has no CP949 form, the only one the wire carries").arg(QLatin1String(what));
                break;
            case orvanta::WireTextFault::TOO_LONG:
                why = QStringLiteral("the %1 is longer than %2 bytes in CP949").arg(QLatin1String(what)).arg(nField - 1);
                break;
            }
            return false;
        };
        if (!wire(folderPart, orvanta::FileEntry::FOLDER_FIELD, "folder", &file.entry.folder) ||
            !wire(namePart, orvanta::FileEntry::NAME_FIELD, "name", &file.entry.name))
            return walk.Refuse(item.relative, why);
        if (item.st.st_size < 0 || std::uint64_t(item.st.st_size) > std::numeric_limits<std::uint32_t>::max())
            return walk.Refuse(item.relative, QStringLiteral("larger than 4 GiB less one byte"));
        file.entry.size = std::uint32_t(item.st.st_size);
        files.push_back(std::move(file));
    }
    std::vector<orvanta::FileEntry> entries;
    entries.reserve(files.size());
    for (const CReleaseFile& file : files)
        entries.push_back(file.entry);
    if (const auto problem = orvanta::FindEntryProblem(entries)) {
        QString why = QString::fromLatin1(orvanta::DescribeEntryFault(problem->eFault));
        if (problem->eFault == orvanta::EntryFault::CASE_COLLISION)
            why += QStringLiteral(" (%1)").arg(files[problem->nEarlier].path);
        return walk.Refuse(found[problem->nIndex].relative, why);
    }
    if (bDigests) {
        const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(READ_BLOCK);
        for (std::size_t i = 0; i < files.size(); ++i) {
            QString why;
            const auto read = ReadWhole(QFile::encodeName(files[i].absolute).toStdString(), found[i], buffer.get(), &why);
            if (!read)
                return walk.Refuse(found[i].relative, why);
            if (read->bKey)
                return walk.Refuse(found[i].relative, QStringLiteral("a private key: never signed nor served; move "
                                                                     "it out of the release folder"));
            if (read->nSize > std::numeric_limits<std::uint32_t>::max())
                return walk.Refuse(found[i].relative, QStringLiteral("larger than 4 GiB less one byte"));
            files[i].entry.size = std::uint32_t(read->nSize);
            orvanta::SetEntryDigest(&files[i].entry, read->digest);
        }
    }
    *pFiles = std::move(files);
    return true;
}

std::optional<orvanta::Sha256Digest> FileDigest(const QString& path)
{
    return orvanta::Sha256OfFile(QFile::encodeName(path).toStdString());
}

std::optional<orvanta::Ed25519PublicKey> LoadPublicKey(const QString& path, QString* pError)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *pError = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    const auto key = orvanta::ParsePublicKey(file.read(64 * 1024).toStdString());
    if (!key)
        *pError = QStringLiteral("%1 holds no Ed25519 public key (64 hexadecimal digits, as keygen writes it, or "
                                 "PEM)")
                      .arg(path);
    return key;
}

std::optional<std::string> LoadPrivateKey(const QString& path, QString* pError)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *pError = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    std::string pem = file.read(64 * 1024).toStdString();
    if (!orvanta::PublicKeyOf(pem)) {
        *pError = QStringLiteral("%1 is not an Ed25519 private key").arg(path);
        return std::nullopt;
    }
    return pem;
}

bool CheckReleaseSignature(const QString& folder, const std::vector<CReleaseFile>& files,
                           const orvanta::Ed25519PublicKey& key, std::optional<std::int32_t> nVersion,
                           QString* pError, std::int32_t* pVersion)
{
    const QString path = QDir(folder).filePath(QString::fromLatin1(orvanta::RELEASE_SIGNATURE_PATH).mid(1));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *pError = QStringLiteral("%1: no signature (%2); sign the release with orvanta-release sign")
                      .arg(path, file.errorString());
        return false;
    }
    const auto signedFile = orvanta::ParseSignatureFile(file.read(qint64(orvanta::MAX_SIGNATURE_FILE) + 1).toStdString());
    if (!signedFile) {
        *pError = QStringLiteral("%1: not a signature file").arg(path);
        return false;
    }
    if (!orvanta::VerifyEd25519(key, signedFile->message, signedFile->signature)) {
        *pError = QStringLiteral("%1: the signature does not verify with the publisher's key").arg(path);
        return false;
    }
    const orvanta::ReleaseManifest& manifest = signedFile->manifest;
    if (pVersion)
        *pVersion = manifest.nVersion;
    if (nVersion && manifest.nVersion != *nVersion) {
        *pError = QStringLiteral("%1: signed for version %2, not %3").arg(path).arg(manifest.nVersion).arg(*nVersion);
        return false;
    }
    const auto shown = [](const orvanta::FileEntry& entry) {
        return QString::fromStdString(orvanta::Cp949ToUtf8(entry.folder.empty() ? entry.name : entry.folder + "/" + entry.name));
    };
    const std::size_t nCommon = std::min(files.size(), manifest.entries.size());
    for (std::size_t i = 0; i < nCommon; ++i) {
        const orvanta::FileEntry& here = files[i].entry;
        const orvanta::FileEntry& signedEntry = manifest.entries[i];
        QString why;
        if (here.folder != signedEntry.folder || here.name != signedEntry.name)
            why = QStringLiteral("%1 is signed where the folder holds %2").arg(shown(signedEntry), files[i].path);
        else if (here.size != signedEntry.size)
            why = QStringLiteral("%1 is signed with %2 bytes and holds %3").arg(files[i].path).arg(signedEntry.size).arg(here.size);
        else if (orvanta::EntryDigest(here) != orvanta::EntryDigest(signedEntry))
            why = QStringLiteral("%1 is signed with other bytes than it holds").arg(files[i].path);
        if (!why.isEmpty()) {
            *pError = QStringLiteral("%1: the folder has changed since it was signed: %2").arg(path, why);
            return false;
        }
    }
    if (files.size() != manifest.entries.size()) {
        const QString why = files.size() > nCommon
                                ? QStringLiteral("%1 is not signed").arg(files[nCommon].path)
                                : QStringLiteral("%1 is signed but not in the folder").arg(shown(manifest.entries[nCommon]));
        *pError = QStringLiteral("%1: the folder has changed since it was signed: %2").arg(path, why);
        return false;
    }
    return true;
}

CReleaseSet::~CReleaseSet()
{
    Stop();
}

std::optional<std::uint64_t> UsablePatch(const QString& patchPath, std::uint64_t nFileSize)
{
    QFile file(patchPath);
    const QFileInfo info(patchPath);
    if (!info.isFile() || info.isSymLink() || std::uint64_t(info.size()) >= nFileSize || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray start = file.read(32);
    const auto header = orvanta::ReadPatchHeader(
        std::span(reinterpret_cast<const std::uint8_t*>(start.constData()), std::size_t(start.size())));
    if (!header || header->nContentSize != nFileSize || header->nWindow > orvanta::MAX_PATCH_WINDOW)
        return std::nullopt;
    return std::uint64_t(info.size());
}

CAnswer CReleaseSet::MakeAnswer(const std::vector<const CReleaseFile*>& files, bool bDelta) const
{
    auto frames = std::make_shared<std::string>();
    auto paths = std::make_shared<std::vector<QString>>();
    frames->reserve(12 + files.size() * (orvanta::FRAME_HEADER_SIZE + orvanta::FileEntry::SIZE));
    AppendFrame(frames.get(), orvanta::FRAME_SERVER_VERSION, orvanta::EncodeInt32(m_nCurrent));
    for (const CReleaseFile* pFile : files) {
        AppendFrame(frames.get(), orvanta::FRAME_FILE_ENTRY, orvanta::EncodeFileEntry(pFile->entry));
        QString line = QStringLiteral("%1 size=%2").arg(pFile->path).arg(pFile->entry.size);
        if (pFile->nPatchSize > 0)
            line += QStringLiteral(" patch=%1").arg(pFile->nPatchSize);
        paths->push_back(line);
    }
    return CAnswer{std::move(frames), std::move(paths), bDelta};
}

void CReleaseSet::SetCurrent(std::int32_t nVersion, std::vector<CReleaseFile> files)
{
    m_nCurrent = nVersion;
    m_current = std::move(files);
    m_same = MakeAnswer({}, false);
    std::vector<const CReleaseFile*> all;
    for (const CReleaseFile& file : m_current)
        all.push_back(&file);
    m_whole = MakeAnswer(all, false);
}

bool CReleaseSet::LoadHistory(const QString& folder, std::optional<std::int32_t> nCurrent, QString* pError,
                              QStringList* pWarnings)
{
    const QDir root(folder);
    if (!root.exists()) {
        *pError = QStringLiteral("releases folder %1 does not exist").arg(folder);
        return false;
    }
    std::map<std::int32_t, QString> versions;
    std::vector<std::pair<QString, std::int64_t>> misnamed;
    for (const QString& name : root.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        std::int32_t nVersion = 0;
        if (ParseVersionName(name, &nVersion))
            versions[nVersion] = root.filePath(name);
        else if (const auto nLenient = LenientVersion(name))
            misnamed.emplace_back(name, *nLenient);
    }
    static const QString NAMING =
        QStringLiteral("a version folder is named by its number in digits, without sign or leading zeros, at most "
                       "2147483647");
    // Serving an older version as current because the newest one's folder
    // is misnamed would go unnoticed by everyone but the players.
    const std::int64_t nHighest = versions.empty() ? std::numeric_limits<std::int64_t>::min() : versions.rbegin()->first;
    for (const auto& [name, nLenient] : misnamed) {
        if (nCurrent ? nLenient == *nCurrent && !versions.contains(*nCurrent) : nLenient > nHighest) {
            *pError = QStringLiteral("releases folder %1: sub-folder %2 would be the current version, but %3")
                          .arg(folder, name, NAMING);
            return false;
        }
        pWarnings->append(QStringLiteral("releases folder %1: sub-folder %2 ignored: %3").arg(folder, name, NAMING));
    }
    if (versions.empty()) {
        *pError = QStringLiteral("releases folder %1 has no version sub-folder (named by its number)").arg(folder);
        return false;
    }
    const std::int32_t nChosen = nCurrent.value_or(versions.rbegin()->first);
    if (!versions.contains(nChosen)) {
        *pError = QStringLiteral("releases folder %1 has no sub-folder %2").arg(folder).arg(nChosen);
        return false;
    }
    for (const auto& [nVersion, path] : versions) {
        std::vector<CReleaseFile> files;
        // The current release's digests go out with its list; older ones
        // are hashed only when compared.
        if (!LoadReleaseFolder(path, &files, pError, nVersion == nChosen, pWarnings))
            return false;
        if (nVersion == nChosen)
            SetCurrent(nVersion, std::move(files));
        else
            m_older[nVersion] = std::move(files);
    }
    return true;
}

std::vector<std::int32_t> CReleaseSet::OlderVersions() const
{
    std::vector<std::int32_t> out;
    for (const auto& item : m_older)
        out.push_back(item.first);
    return out;
}

void CReleaseSet::Start(std::function<void()> fReady)
{
    m_fReady = std::move(fReady);
    if (!m_older.empty())
        m_thread = std::thread([this]() { Compare(); });
}

void CReleaseSet::Stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_bStop = true;
    }
    m_cv.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void CReleaseSet::WaitAll()
{
    std::unique_lock lock(m_mutex);
    m_cv.wait(lock, [this]() { return m_bStop || m_deltas.size() == m_older.size(); });
}

void CReleaseSet::Compare()
{
    // Digests of the current files, worked out when first needed.
    std::vector<std::optional<std::optional<orvanta::Sha256Digest>>> currentDigests(m_current.size());
    // Newest first: most players are one version behind.
    for (auto it = m_older.rbegin(); it != m_older.rend(); ++it) {
        std::map<QString, const CReleaseFile*> byPath;
        for (const CReleaseFile& file : it->second)
            byPath[file.path] = &file;
        std::vector<const CReleaseFile*> changed;
        std::deque<CReleaseFile> patched;  // delta entries, copies of the current ones
        for (std::size_t i = 0; i < m_current.size(); ++i) {
            {
                std::lock_guard lock(m_mutex);
                if (m_bStop)
                    return;
            }
            const CReleaseFile& file = m_current[i];
            const auto found = byPath.find(file.path);
            bool bSame = found != byPath.end() && found->second->entry.size == file.entry.size;
            std::optional<orvanta::Sha256Digest> old;
            if (bSame && !SameInode(file.absolute, found->second->absolute)) {
                if (!currentDigests[i]) {
                    const auto digest = orvanta::EntryDigest(file.entry);
                    currentDigests[i] = digest ? digest : FileDigest(file.absolute);
                }
                old = FileDigest(found->second->absolute);
                // A file that cannot be read on either side is sent again.
                bSame = *currentDigests[i] && old && **currentDigests[i] == *old;
            }
            if (bSame)
                continue;
            if (found != byPath.end() && !old)
                old = FileDigest(found->second->absolute);
            if (const CReleaseFile* pDelta = old ? WithPatch(file, *old, &patched) : nullptr)
                changed.push_back(pDelta);
            else
                changed.push_back(&file);
        }
        CAnswer answer = MakeAnswer(changed, true);
        {
            std::lock_guard lock(m_mutex);
            m_deltas[it->first] = std::move(answer);
        }
        m_cv.notify_all();
        if (m_fReady)
            m_fReady();
    }
}

// The current file as a delta entry, when a patch from the client's file
// lies beside it (orvanta-release made it) and may be applied.
const CReleaseFile* CReleaseSet::WithPatch(const CReleaseFile& file, const orvanta::Sha256Digest& oldDigest,
                                          std::deque<CReleaseFile>* pPatched) const
{
    const auto digest = orvanta::EntryDigest(file.entry);
    if (!digest || file.entry.size == 0)
        return nullptr;
    const orvanta::BasePrefix base = orvanta::PrefixOf(oldDigest);
    const auto nPatch = UsablePatch(PatchPathFor(file.absolute, base, *digest), file.entry.size);
    if (!nPatch)
        return nullptr;
    CReleaseFile& delta = pPatched->emplace_back(file);
    orvanta::SetEntryDelta(&delta.entry, *digest, base);
    delta.nPatchSize = *nPatch;
    return &delta;
}

QString PatchPathFor(const QString& absolute, const orvanta::BasePrefix& base, const orvanta::Sha256Digest& target)
{
    return absolute + QString::fromStdString(orvanta::PatchSuffix(base, target));
}

std::optional<CAnswer> CReleaseSet::AnswerFor(std::int32_t nVersion) const
{
    if (nVersion == m_nCurrent)
        return m_same;
    if (!m_older.contains(nVersion))
        return m_whole;
    std::lock_guard lock(m_mutex);
    const auto found = m_deltas.find(nVersion);
    if (found == m_deltas.end())
        return std::nullopt;
    return found->second;
}

} // namespace patchd
