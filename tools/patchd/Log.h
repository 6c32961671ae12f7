#pragma once

#include <QString>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

// The server's log. Lines go through a bounded buffer to a writer thread,
// so a log pipe that is slow, full or closed never holds a worker: what
// does not fit is counted and the count is written once there is room.
namespace patchd {

class CLog final {
public:
    static CLog& Instance();

    // Where lines go: a file (appended to) or, when path is empty, stdout.
    bool Open(const QString& path, QString* pError);
    // Opens the file again (after a rotation moved it); stdout stays.
    void Reopen();
    void Start();
    // Writes what waits, for at most a second, and ends the writer.
    void Stop();

    // One line, without its newline. Any thread; never blocks on output.
    void Line(std::string_view line);
    void Line(const QString& line) { Line(std::string_view(line.toUtf8().toStdString())); }

    // Lines lost to a full buffer since the start.
    std::uint64_t Dropped() const;

    static constexpr std::size_t BUFFER_BYTES = 1 << 20;

private:
    CLog() = default;
    void Run();

    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::condition_variable m_cvIdle;
    std::string m_pending;           // guarded by m_mutex
    std::uint64_t m_nDropped = 0;    // guarded by m_mutex
    std::uint64_t m_nUnreported = 0; // guarded by m_mutex
    bool m_bStop = false;            // guarded by m_mutex
    bool m_bWriting = false;         // guarded by m_mutex
    bool m_bReopen = false;          // guarded by m_mutex
    QString m_path;
    int m_fd = 1;  // owned by the writer once started
    std::thread m_writer;
};

inline void LogLine(const QString& line)
{
    CLog::Instance().Line(line);
}

} // namespace patchd
