#include "Log.h"

#include <QFile>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace patchd {

CLog& CLog::Instance()
{
    static CLog log;
    return log;
}

bool CLog::Open(const QString& path, QString* pError)
{
    m_path = path;
    if (path.isEmpty())
        return true;
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0) {
        *pError = QStringLiteral("cannot open the log %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    m_fd = fd;
    return true;
}

void CLog::Reopen()
{
    std::lock_guard lock(m_mutex);
    m_bReopen = !m_path.isEmpty();
    m_cv.notify_one();
}

void CLog::Start()
{
    m_writer = std::thread([this]() { Run(); });
}

void CLog::Stop()
{
    std::unique_lock lock(m_mutex);
    if (!m_writer.joinable())
        return;
    m_cvIdle.wait_for(lock, std::chrono::seconds(1), [this]() { return m_pending.empty() && !m_bWriting; });
    const bool bDone = m_pending.empty() && !m_bWriting;
    m_bStop = true;
    m_cv.notify_one();
    lock.unlock();
    // A writer stuck on a pipe that nobody reads is left to the process's end.
    if (bDone)
        m_writer.join();
    else
        m_writer.detach();
}

void CLog::Line(std::string_view line)
{
    std::lock_guard lock(m_mutex);
    if (m_pending.size() + line.size() + 1 > BUFFER_BYTES) {
        ++m_nDropped;
        ++m_nUnreported;
        return;
    }
    m_pending.append(line);
    m_pending.push_back('\n');
    m_cv.notify_one();
}

std::uint64_t CLog::Dropped() const
{
    std::lock_guard lock(m_mutex);
    return m_nDropped;
}

void CLog::Run()
{
    std::string batch;
    bool bBroken = false;
    for (;;) {
        {
            std::unique_lock lock(m_mutex);
            m_bWriting = false;
            m_cvIdle.notify_all();
            m_cv.wait(lock, [this]() { return m_bStop || m_bReopen || !m_pending.empty(); });
            if (m_bStop && m_pending.empty())
                return;
            if (m_bReopen) {
                m_bReopen = false;
                const int fd = ::open(QFile::encodeName(m_path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC,
                                      0640);
                if (fd >= 0) {
                    ::close(m_fd);
                    m_fd = fd;
                    bBroken = false;
                }
            }
            if (m_nUnreported > 0) {
                m_pending += "log: " + std::to_string(m_nUnreported) + " lines dropped (the log was not read fast enough)\n";
                m_nUnreported = 0;
            }
            batch.swap(m_pending);
            m_pending.clear();
            m_bWriting = true;
        }
        // A log that failed for good (a closed pipe) is given up; the server
        // goes on without it.
        std::size_t nDone = 0;
        while (!bBroken && nDone < batch.size()) {
            const ssize_t n = ::write(m_fd, batch.data() + nDone, batch.size() - nDone);
            if (n > 0)
                nDone += std::size_t(n);
            else if (n < 0 && errno == EAGAIN) {
                pollfd wait{m_fd, POLLOUT, 0};
                ::poll(&wait, 1, 100);
            } else if (n < 0 && errno != EINTR)
                bBroken = true;
        }
        batch.clear();
    }
}

} // namespace patchd
