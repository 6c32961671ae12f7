#include "transfer/MarkWriter.h"

#include "settings/SettingsStore.h"

#include <chrono>

namespace {

// A list of thousands of small files would otherwise save the store
// thousands of times, each with its syncs, beside the transfers.
constexpr auto WRITE_INTERVAL = std::chrono::milliseconds(250);

} // namespace

CMarkWriter::CMarkWriter(std::function<void()> beforeWrite)
    : m_beforeWrite(std::move(beforeWrite)), m_thread(&CMarkWriter::Run, this)
{
}

CMarkWriter::~CMarkWriter()
{
    {
        std::lock_guard lock(m_mutex);
        m_bStop = true;
    }
    m_cv.notify_all();
    m_thread.join();
}

void CMarkWriter::Save(Mark mark)
{
    {
        std::lock_guard lock(m_mutex);
        m_pending = std::move(mark);
    }
    m_cv.notify_all();
}

void CMarkWriter::Flush()
{
    std::unique_lock lock(m_mutex);
    m_bHurry = true;
    m_cv.notify_all();
    m_cv.wait(lock, [this] { return !m_pending && !m_bWriting; });
    m_bHurry = false;
}

void CMarkWriter::Run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_cv.wait(lock, [this] { return m_bStop || m_pending; });
        if (!m_pending)
            return;  // stopping, nothing left to write
        const Mark mark = std::move(*m_pending);
        m_pending.reset();
        m_bWriting = true;
        lock.unlock();
        if (m_beforeWrite)
            m_beforeWrite();
        {
            // One access for both values, as the game client reads them together.
            orvanta::settings::CSettingsKey key(orvanta::settings::CSettingsKey::Open::Existing);
            key.WriteText(orvanta::settings::DOWN_FOLDER, mark.folder);
            key.WriteText(orvanta::settings::DOWN_FILE, mark.file);
            key.WriteNumber(orvanta::settings::DOWN_VERSION, mark.nVersion);
        }
        lock.lock();
        m_bWriting = false;
        m_cv.notify_all();
        m_cv.wait_for(lock, WRITE_INTERVAL, [this] { return m_bStop || m_bHurry; });
    }
}
