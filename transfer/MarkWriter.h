#pragma once

#include <QString>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

// Writes the resume mark (DownFolder, DownFile, and DownVersion, the release
// the mark belongs to) to the settings store on a
// thread of its own. The store's atomic save syncs its file to disk, and on
// a disk busy with the game file just downloaded that waits for the whole
// file to be flushed: the window must not. Marks are written in the order
// given, at most one write per interval; when several wait, only the latest
// is written. So the stored mark never names an entry past the one being
// fetched, and after a crash the next run resumes there or a little earlier.
class CMarkWriter final {
public:
    // beforeWrite runs on the writer's thread before each mark is written:
    // whatever the mark moves past must be on disk first.
    explicit CMarkWriter(std::function<void()> beforeWrite = {});
    ~CMarkWriter();  // writes what waits, then ends the thread
    CMarkWriter(const CMarkWriter&) = delete;
    CMarkWriter& operator=(const CMarkWriter&) = delete;

    struct Mark {
        QString folder;
        QString file;
        std::int32_t nVersion = 0;
    };
    void Save(Mark mark);
    // Returns once every mark given so far is in the store.
    void Flush();

private:
    void Run();

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::optional<Mark> m_pending;
    bool m_bWriting = false;
    bool m_bHurry = false;  // Flush or the end: write without waiting out the interval
    bool m_bStop = false;
    std::function<void()> m_beforeWrite;
    std::thread m_thread;
};
