#include "Release.h"

#include "patch/Cp949.h"
#include "patch/Digest.h"
#include "patch/Manifest.h"
#include "transfer/Crypto.h"
#include "transfer/Delta.h"
#include "patch/PatchFrame.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>


#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <limits>
#include <numeric>
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

// A version folder's name: the number in plain digits, as a publisher
// types it and a listing sorts it.
bool ParseVersion(const QString& name, std::int32_t* pOut)
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
    const QByteArray utf8 = text.toUtf8();
    bool bOk = false;
    std::string cp949 = orvanta::Utf8ToCp949(std::string_view(utf8.constData(), std::size_t(utf8.size())), &bOk);
    if (!bOk || cp949.size() + 1 > nField || cp949.find('\0') != std::string::npos)
        return false;
    *pOut = std::move(cp949);
    return true;
}

bool LoadReleaseFolder(const QString& folder, std::vector<CReleaseFile>* pFiles, QString* pError, bool bDigests)
{
    const QString signaturePath = QString::fromLatin1(orvanta::RELEASE_SIGNATURE_PATH).mid(1);
    const QDir root(folder);
    if (!root.exists()) {
        *pError = QStringLiteral("release folder %1 does not exist").arg(folder);
        return false;
    }
    std::vector<CReleaseFile> files;
    // The order's keys (UTF-8 of folder and path), made once per file
    // rather than once per comparison.
    std::vector<std::pair<QByteArray, QByteArray>> keys;
    QDirIterator it(root.absolutePath(), QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        if (!info.isFile())
            continue;
        const QString relative = root.relativeFilePath(info.absoluteFilePath());
        // Neither the signature nor the patches beside the files are files
        // of the release.
        if (relative == signaturePath || orvanta::IsPatchFileName(info.fileName().toStdString()))
            continue;
        const qsizetype nSlash = relative.lastIndexOf(QLatin1Char('/'));
        const QString folderPart = nSlash < 0 ? QString() : relative.left(nSlash);
        const QString namePart = relative.mid(nSlash + 1);

        CReleaseFile file;
        file.path = relative;
        file.absolute = info.absoluteFilePath();
        if (!ToFieldText(folderPart, orvanta::FileEntry::FOLDER_FIELD, &file.entry.folder)) {
            *pError = QStringLiteral("%1: the folder has no CP949 form of at most 255 bytes").arg(relative);
            return false;
        }
        if (!ToFieldText(namePart, orvanta::FileEntry::NAME_FIELD, &file.entry.name)) {
            *pError = QStringLiteral("%1: the name has no CP949 form of at most 255 bytes").arg(relative);
            return false;
        }
        if (info.size() < 0 || info.size() > std::numeric_limits<std::uint32_t>::max()) {
            *pError = QStringLiteral("%1: larger than 4 GiB less one byte").arg(relative);
            return false;
        }
        file.entry.size = std::uint32_t(info.size());
        if (bDigests) {
            const auto digest = FileDigest(file.absolute);
            if (!digest || digest->size() != orvanta::Sha256Digest().size()) {
                *pError = QStringLiteral("%1: cannot be read").arg(relative);
                return false;
            }
            orvanta::Sha256Digest value{};
            std::copy(digest->begin(), digest->end(), value.begin());
            orvanta::SetEntryDigest(&file.entry, value);
        }
        keys.emplace_back(folderPart.toUtf8(), relative.toUtf8());
        files.push_back(std::move(file));
    }
    std::vector<std::size_t> order(files.size());
    std::iota(order.begin(), order.end(), std::size_t(0));
    std::sort(order.begin(), order.end(), [&keys](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
    pFiles->clear();
    pFiles->reserve(files.size());
    for (const std::size_t i : order)
        pFiles->push_back(std::move(files[i]));
    return true;
}

std::optional<std::string> FileDigest(const QString& path)
{
    const auto digest = orvanta::Sha256OfFile(QFile::encodeName(path).toStdString());
    if (!digest)
        return std::nullopt;
    return std::string(digest->begin(), digest->end());
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
        if (ParseVersion(name, &nVersion))
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
        if (!LoadReleaseFolder(path, &files, pError, nVersion == nChosen)) {
            *pError = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), *pError);
            return false;
        }
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
    std::vector<std::optional<std::optional<std::string>>> currentDigests(m_current.size());
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
            std::optional<std::string> old;
            if (bSame && !SameInode(file.absolute, found->second->absolute)) {
                if (!currentDigests[i]) {
                    const auto digest = orvanta::EntryDigest(file.entry);
                    currentDigests[i] = digest ? std::optional<std::string>(std::string(digest->begin(), digest->end()))
                                               : FileDigest(file.absolute);
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
const CReleaseFile* CReleaseSet::WithPatch(const CReleaseFile& file, const std::string& oldDigest,
                                          std::deque<CReleaseFile>* pPatched) const
{
    const auto digest = orvanta::EntryDigest(file.entry);
    if (!digest || file.entry.size == 0 || oldDigest.size() != orvanta::Sha256Digest().size())
        return nullptr;
    orvanta::BasePrefix base{};
    std::copy_n(oldDigest.begin(), base.size(), base.begin());
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
