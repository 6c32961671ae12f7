#pragma once

#include "transfer/TransferRate.h"

#include <QString>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <set>
#include <utility>

// What orvanta-update shows of a run, in the forms people know from curl,
// wget and apt: a progress line redrawn in place on a terminal (never wider
// than the terminal, so it never wraps), a line per file on a pipe, or one
// JSON object per line for launchers and scripts.
namespace orvanta::terminal {

enum class Mode {
    Bar,    // a terminal: status and file lines, and a progress line redrawn in place
    Lines,  // a pipe or a file: status and file lines only
    Json,   // one JSON object per line on standard output
    Quiet,  // nothing but errors
};

// "0 B", "512 B", "8.0 KiB", "12.3 MiB", "1.50 GiB".
QString FormatBytes(std::uint64_t nBytes);
// A rate as curl's --limit-rate takes it: bytes per second, or with a
// suffix K, M or G (1024-based, either case, decimals allowed: "1.5M").
// Nothing for anything else, or for more than a terabyte per second.
std::optional<std::uint64_t> ParseRate(const QString& text);
// "0:07", "12:34", "1:02:03"; nothing sensible is "--:--".
QString FormatDuration(double seconds);
// The progress line for nColumns columns, at most nColumns - 1 characters
// (a full last column makes some terminals wrap): the bar, the percentage,
// the bytes, the speed and the time left, dropping the least useful parts
// first when the terminal is narrow. A speed of 0 is not yet known.
QString ProgressLine(std::uint64_t nDone, std::uint64_t nTotal, double bytesPerSecond, int nColumns);

// Whether the program's own texts (not the patch server's or the status
// lines, which are the game's) are Korean: LC_ALL, LC_MESSAGES, then LANG.
bool KoreanMessages();

// The columns of the terminal on standard output, or 0 when it is not one.
int TerminalColumns();

// A run stopped on the player's side, for scripts: the cause's name
// ("disk-full", "read-only", ...), the path, and the bytes the disk lacks
// (0: not a full disk, or not known).
struct EndCause {
    QString name;
    QString path;
    std::uint64_t nNeeded = 0;
};

class CTerminalView final {
public:
    // A terminal tells the speed once it has a fifth of a second of bytes.
    static constexpr std::int64_t SPEED_SETTLE_MS = 200;

    CTerminalView(Mode eMode, int nColumns, std::FILE* pOut, std::FILE* pErr);
    ~CTerminalView();
    CTerminalView(const CTerminalView&) = delete;
    CTerminalView& operator=(const CTerminalView&) = delete;

    void Status(const QString& text);
    // A file begins (the progress line covers it; a "file" object in JSON).
    void FileStarted(std::uint64_t nIndex, std::uint64_t nCount, const QString& name, std::uint64_t nSize);
    // A file is in place: a line of its own, or a "done" object.
    void FileDone(std::uint64_t nIndex, std::uint64_t nCount, const QString& name, std::uint64_t nSize);
    // nNowMs: a steady clock, for the speed.
    void Bytes(std::uint64_t nAllRecv, std::uint64_t nTotal, std::int64_t nNowMs);
    // A note of the program's own (a question answered, a warning): on
    // standard error, or a "message" object.
    void Note(const QString& text);
    // The run's end, once: outcome is a short name ("done", "up-to-date",
    // "refused", ...), why the line for people (empty for a good end).
    void End(const QString& outcome, int nExit, const QString& why, const std::optional<EndCause>& cause = {});

private:
    void ClearBar();
    void Json(const QString& type, std::initializer_list<std::pair<const char*, QString>> texts,
              std::initializer_list<std::pair<const char*, double>> numbers);

    Mode m_eMode;
    int m_nColumns;
    std::FILE* m_pOut;
    std::FILE* m_pErr;
    int m_nBarWidth = 0;      // characters of the progress line on screen
    std::int64_t m_nLastDrawMs = -1;
    std::uint64_t m_nLastBytes = 0;
    CTransferRate m_rate{SPEED_SETTLE_MS};
    std::set<std::uint64_t> m_done;  // files reported done: never said to begin after that
};

} // namespace orvanta::terminal
