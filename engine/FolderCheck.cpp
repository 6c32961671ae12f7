// The check of the player's files before the download sequence: what a
// signed release holds and the run would not fetch, or, in a repair, every
// file. Whatever differs from its digest joins the run's list. Runs on the
// session's thread; the reading runs on the check's own threads, polled.
#include "engine/UpdateSession.h"

#include "patch/Cp949.h"
#include "patch/Digest.h"
#include "transfer/LocalCheck.h"
#include "transfer/PathRules.h"

#include <QElapsedTimer>
#include <QFile>

#include <set>
#include <utility>

namespace {

// Two readers keep the disk and the hash busy at once; more only compete
// for the same disk.
constexpr int CHECK_THREADS = 2;
// The file texts follow the check no faster than a player can read them.
constexpr qint64 CHECK_NAME_MS = 250;

using EntryName = std::pair<std::string, std::string>;

EntryName NameOf(const orvanta::FileEntry& entry)
{
    return {entry.folder, entry.name};
}

// The cache's name for an entry's file: its path in the game folder, UTF-8.
std::string CacheKey(const orvanta::FileEntry& entry)
{
    return orvanta::Cp949ToUtf8(orvanta::RemotePath(entry.folder, entry.name));
}

} // namespace

QString CUpdateSession::LocalPath(const orvanta::FileEntry& entry) const
{
    return m_settings.szClientPath +
           QString::fromStdString(orvanta::Cp949ToUtf8(orvanta::RemotePath(entry.folder, entry.name)));
}

orvanta::CDigestCache& CUpdateSession::Digests()
{
    if (!m_pDigests) {
        const std::string folder = m_settings.szClientPath.toStdString();
        m_pDigests = std::make_shared<orvanta::CDigestCache>(
            m_digestCachePath.isEmpty() ? orvanta::CDigestCache(folder)
                                        : orvanta::CDigestCache::Load(ToFsPath(m_digestCachePath), folder));
    }
    return *m_pDigests;
}

void CUpdateSession::SaveDigests()
{
    if (m_pDigests && !m_digestCachePath.isEmpty())
        m_pDigests->Save(ToFsPath(m_digestCachePath));
}

// A file the FTP session put in place and found to have its digest.
void CUpdateSession::RememberDigest(std::size_t nEntry)
{
    const orvanta::FileEntry& entry = m_fileList[nEntry];
    const auto digest = orvanta::EntryDigest(entry);
    if (!digest || m_digestCachePath.isEmpty())
        return;
    const std::int64_t nNow = orvanta::NowNs();
    if (const auto stamp = orvanta::StampOf(ToFsPath(LocalPath(entry))); stamp && stamp->nSize == entry.size)
        Digests().Put(CacheKey(entry), *stamp, *digest, nNow);
}

void CUpdateSession::StartCheck()
{
    if (m_eState != State::LoggingIn && m_eState != State::Verifying)
        return;
    // What the run fetches anyway needs no look: the list from the resume
    // entry on. Before it, and what the server left out, the signed
    // release's digests decide. A repair looks at everything: the whole
    // list, the signed files it lacks, and with no resume.
    m_checkEntries.clear();
    std::set<EntryName> covered;
    if (m_bRepair) {
        m_checkEntries = m_fileList;
        for (const orvanta::FileEntry& entry : m_fileList)
            covered.insert(NameOf(entry));
    } else if (m_manifest) {
        const std::size_t nResume = ResumeEntry();
        for (std::size_t i = nResume == static_cast<std::size_t>(-1) ? 0 : nResume; i < m_fileList.size(); ++i)
            covered.insert(NameOf(m_fileList[i]));
    }
    if (m_manifest) {
        for (const orvanta::FileEntry& entry : m_manifest->entries) {
            if (covered.insert(NameOf(entry)).second)
                m_checkEntries.push_back(entry);
        }
    }
    if (m_checkEntries.empty()) {
        OnFtpStatus(FTP_STATUS_START, nullptr);
        return;
    }

    std::vector<orvanta::CheckItem> items;
    items.reserve(m_checkEntries.size());
    for (const orvanta::FileEntry& entry : m_checkEntries) {
        orvanta::CheckItem item{ToFsPath(LocalPath(entry)), CacheKey(entry), entry.size, orvanta::EntryDigest(entry)};
        // A path that would leave the game folder is not read; the
        // sequence refuses its list.
        if (!orvanta::IsSafeEntry(entry.folder, entry.name))
            item.digest.reset();
        items.push_back(std::move(item));
    }
    // A repair believes no earlier reading: it is what the player asks for
    // when a file may have changed behind the cache's back.
    Digests();
    m_pCheck = std::make_unique<orvanta::CLocalCheck>(
        std::move(items), m_bRepair ? nullptr : std::shared_ptr<const orvanta::CDigestCache>(m_pDigests),
        CHECK_THREADS);
    SetState(State::Checking);
    SetStatusText(QStringLiteral("설치된 파일을 검사하고 있습니다"));
    m_nCheckShown = static_cast<std::size_t>(-1);
    Q_EMIT totalsPrepared(m_pCheck->BytesTotal());
    m_checkTimer.start();
    OnCheckTick();
}

void CUpdateSession::OnCheckTick()
{
    if (!m_pCheck || m_eState != State::Checking)
        return;
    const orvanta::CLocalCheck& check = *m_pCheck;
    const bool bDone = check.IsDone();
    const std::size_t nCurrent = std::min(check.CurrentItem(), m_checkEntries.size() - 1);
    if (nCurrent != m_nCheckShown && (!m_checkNameShown.isValid() || m_checkNameShown.elapsed() >= CHECK_NAME_MS)) {
        m_nCheckShown = nCurrent;
        m_checkNameShown.start();
        const orvanta::FileEntry& entry = m_checkEntries[nCurrent];
        Q_EMIT fileStarted(nCurrent + 1, m_checkEntries.size(),
                           QString::fromStdString(orvanta::Cp949ToUtf8(entry.name)), entry.size);
    }
    const std::uint64_t nDone = check.BytesDone();
    const std::uint64_t nTotal = check.BytesTotal();
    Q_EMIT bytesCounted(nDone, nDone, nDone, nTotal, nDone, nTotal);
    if (bDone)
        FinishCheck();
}

void CUpdateSession::FinishCheck()
{
    m_checkTimer.stop();
    const std::vector<orvanta::CheckOutcome>& outcomes = m_pCheck->Outcomes();
    orvanta::CDigestCache& digests = Digests();
    if (m_manifest || m_bRepair) {
        // The whole release is known: the cache keeps its files alone.
        std::set<std::string> keys;
        for (const orvanta::FileEntry& entry : m_manifest ? m_manifest->entries : m_checkEntries)
            keys.insert(CacheKey(entry));
        digests.Retain(keys);
    }
    std::vector<orvanta::FileEntry> differ;
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        const orvanta::CheckOutcome& outcome = outcomes[i];
        if (outcome.hashed && outcome.stamp)
            digests.Put(CacheKey(m_checkEntries[i]), *outcome.stamp, *outcome.hashed, outcome.nVerifiedNs);
        if (!outcome.bInPlace)
            differ.push_back(m_checkEntries[i]);
    }
    m_pCheck.reset();
    SaveDigests();
    if (m_bRepair) {
        // The list becomes what differs, the server's entries first in its
        // order, then the signed files it lacked.
        m_fileList = std::move(differ);
    } else {
        // Signed files the player changed, deleted or holds other bytes of
        // are fetched with the rest.
        m_fileList.insert(m_fileList.end(), differ.begin(), differ.end());
    }
    m_checkEntries.clear();
    // An empty list (every file as released) completes the run at once.
    OnFtpStatus(FTP_STATUS_START, nullptr);
}
