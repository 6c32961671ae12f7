#include "app/TerminalView.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>
#include <cstdlib>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace orvanta::terminal {
namespace {

constexpr int MIN_BAR = 10;
constexpr int MAX_BAR = 40;
constexpr std::int64_t REDRAW_MS = 100;   // a terminal line is redrawn at most this often

void Put(std::FILE* pFile, const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), pFile);
    std::fflush(pFile);
}

} // namespace

QString FormatBytes(std::uint64_t nBytes)
{
    if (nBytes < 1024)
        return QStringLiteral("%1 B").arg(nBytes);
    static const char* const UNITS[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double value = double(nBytes) / 1024.0;
    int nUnit = 0;
    while (value >= 1024.0 && nUnit + 1 < int(std::size(UNITS))) {
        value /= 1024.0;
        ++nUnit;
    }
    // Three significant digits at most, as people read sizes.
    const int nDecimals = value < 10.0 ? 2 : value < 100.0 ? 1 : 0;
    return QStringLiteral("%1 %2").arg(value, 0, 'f', nUnit == 0 && nDecimals == 2 ? 1 : nDecimals)
        .arg(QLatin1String(UNITS[nUnit]));
}

std::optional<std::uint64_t> ParseRate(const QString& text)
{
    QString number = text.trimmed();
    double scale = 1;
    if (!number.isEmpty()) {
        switch (number.back().toLower().unicode()) {
        case 'k': scale = 1024.0; break;
        case 'm': scale = 1024.0 * 1024; break;
        case 'g': scale = 1024.0 * 1024 * 1024; break;
        default: break;
        }
        if (scale > 1)
            number.chop(1);
    }
    bool bOk = false;
    const double value = number.toDouble(&bOk) * scale;
    if (!bOk || !(value >= 0) || value > 1024.0 * 1024 * 1024 * 1024)
        return std::nullopt;
    return std::uint64_t(value);
}

QString FormatDuration(double seconds)
{
    if (!std::isfinite(seconds) || seconds < 0 || seconds > 360000.0)
        return QStringLiteral("--:--");
    const auto n = static_cast<long long>(std::llround(seconds));
    if (n >= 3600)
        return QStringLiteral("%1:%2:%3").arg(n / 3600).arg(n / 60 % 60, 2, 10, QLatin1Char('0')).arg(n % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(n / 60).arg(n % 60, 2, 10, QLatin1Char('0'));
}

QString ProgressLine(std::uint64_t nDone, std::uint64_t nTotal, double bytesPerSecond, int nColumns)
{
    const int nMax = std::max(nColumns - 1, 4);
    const std::uint64_t nShown = std::min(nDone, nTotal);
    const int nPercent = nTotal ? int(double(nShown) * 100.0 / double(nTotal)) : 100;
    const QString percent = QStringLiteral("%1%").arg(nPercent, 3);
    const QString bytes = FormatBytes(nShown) + QStringLiteral(" / ") + FormatBytes(nTotal);
    QString speed;
    QString left;
    if (bytesPerSecond > 0) {
        speed = FormatBytes(std::uint64_t(bytesPerSecond)) + QStringLiteral("/s");
        left = FormatDuration(double(nTotal - nShown) / bytesPerSecond);
    }
    // The parts after the bar, the least useful dropped first.
    const QList<QStringList> tails = {
        {percent, bytes, speed, left}, {percent, bytes, speed}, {percent, bytes}, {percent},
    };
    for (const QStringList& parts : tails) {
        QStringList shown;
        for (const QString& part : parts) {
            if (!part.isEmpty())
                shown << part;
        }
        const QString tail = shown.join(QStringLiteral("  "));
        const int nRoom = nMax - int(tail.size()) - 3;  // "[", "] "
        if (nRoom >= MIN_BAR) {
            const int nWidth = std::min(nRoom, MAX_BAR);
            const int nFilled = nTotal ? int(double(nShown) * nWidth / double(nTotal)) : nWidth;
            return QLatin1Char('[') + QString(nFilled, QLatin1Char('#')) + QString(nWidth - nFilled, QLatin1Char('-')) +
                   QStringLiteral("] ") + tail;
        }
    }
    return (percent + QStringLiteral("  ") + bytes).left(nMax).trimmed();
}

bool KoreanMessages()
{
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value && *value)
            return QByteArray(value).startsWith("ko");
    }
    return false;
}

int TerminalColumns()
{
#ifdef _WIN32
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!_isatty(_fileno(stdout)) || !GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info))
        return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
#else
    if (!isatty(STDOUT_FILENO))
        return 0;
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    const int nColumns = qEnvironmentVariableIntValue("COLUMNS");
    return nColumns > 0 ? nColumns : 80;
#endif
}

CTerminalView::CTerminalView(Mode eMode, int nColumns, std::FILE* pOut, std::FILE* pErr)
    : m_eMode(eMode), m_nColumns(nColumns > 0 ? nColumns : 80), m_pOut(pOut), m_pErr(pErr)
{
}

CTerminalView::~CTerminalView()
{
    ClearBar();
}

void CTerminalView::ClearBar()
{
    if (m_nBarWidth == 0)
        return;
    // Back to the line's start, blanked, so the next text starts clean.
    Put(m_pOut, QLatin1Char('\r') + QString(m_nBarWidth, QLatin1Char(' ')) + QLatin1Char('\r'));
    m_nBarWidth = 0;
}

void CTerminalView::Json(const QString& type, std::initializer_list<std::pair<const char*, QString>> texts,
                         std::initializer_list<std::pair<const char*, double>> numbers)
{
    QJsonObject object{{QStringLiteral("type"), type}};
    for (const auto& [key, value] : texts)
        object.insert(QLatin1String(key), value);
    for (const auto& [key, value] : numbers)
        object.insert(QLatin1String(key), value);
    const QByteArray line = QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
    std::fwrite(line.constData(), 1, std::size_t(line.size()), m_pOut);
    std::fflush(m_pOut);
}

void CTerminalView::Status(const QString& text)
{
    switch (m_eMode) {
    case Mode::Bar:
    case Mode::Lines:
        ClearBar();
        Put(m_pOut, text + QLatin1Char('\n'));
        break;
    case Mode::Json:
        Json(QStringLiteral("status"), {{"text", text}}, {});
        break;
    case Mode::Quiet:
        break;
    }
}

void CTerminalView::FileStarted(std::uint64_t nIndex, std::uint64_t nCount, const QString& name, std::uint64_t nSize)
{
    // The window's view ends on the last file, which may have ended first.
    if (m_eMode == Mode::Json && !m_done.contains(nIndex))
        Json(QStringLiteral("file"), {{"name", name}},
             {{"index", double(nIndex)}, {"count", double(nCount)}, {"size", double(nSize)}});
}

void CTerminalView::FileDone(std::uint64_t nIndex, std::uint64_t nCount, const QString& name, std::uint64_t nSize)
{
    m_done.insert(nIndex);
    switch (m_eMode) {
    case Mode::Bar:
    case Mode::Lines:
        ClearBar();
        Put(m_pOut, QStringLiteral("[%1/%2] %3 (%4)\n").arg(nIndex).arg(nCount).arg(name, FormatBytes(nSize)));
        break;
    case Mode::Json:
        Json(QStringLiteral("done"), {{"name", name}},
             {{"index", double(nIndex)}, {"count", double(nCount)}, {"size", double(nSize)}});
        break;
    case Mode::Quiet:
        break;
    }
}

void CTerminalView::Bytes(std::uint64_t nAllRecv, std::uint64_t nTotal, std::int64_t nNowMs)
{
    if (m_eMode == Mode::Lines || m_eMode == Mode::Quiet)
        return;
    const bool bEnd = nAllRecv >= nTotal;
    if (m_nLastDrawMs >= 0 && nNowMs - m_nLastDrawMs < REDRAW_MS && !bEnd)
        return;
    if (bEnd && m_nLastBytes == nAllRecv && m_nLastDrawMs >= 0)
        return;  // the full line is on screen already
    m_nLastDrawMs = nNowMs;
    m_nLastBytes = nAllRecv;
    // A retried file's bytes are taken back: the speed starts over.
    m_rate.Add(nNowMs, nAllRecv, nTotal);
    const double speed = m_rate.BytesPerSecond().value_or(0.0);
    if (m_eMode == Mode::Json) {
        Json(QStringLiteral("progress"), {},
             {{"received", double(nAllRecv)}, {"total", double(nTotal)}, {"bytes_per_second", std::floor(speed)}});
        return;
    }
    const QString line = ProgressLine(nAllRecv, nTotal, speed, m_nColumns);
    const int nPad = std::max(0, m_nBarWidth - int(line.size()));
    Put(m_pOut, QLatin1Char('\r') + line + QString(nPad, QLatin1Char(' ')));
    m_nBarWidth = int(line.size()) + nPad;
}

void CTerminalView::Note(const QString& text)
{
    if (m_eMode == Mode::Json) {
        Json(QStringLiteral("message"), {{"text", text}}, {});
        return;
    }
    ClearBar();
    Put(m_pErr, QStringLiteral("orvanta-update: %1\n").arg(text));
}

void CTerminalView::End(const QString& outcome, int nExit, const QString& why, const std::optional<EndCause>& cause)
{
    if (m_eMode == Mode::Json) {
        if (!cause) {
            Json(QStringLiteral("end"), {{"outcome", outcome}, {"message", why}}, {{"exit", double(nExit)}});
            return;
        }
        Json(QStringLiteral("end"),
             {{"outcome", outcome}, {"message", why}, {"cause", cause->name}, {"path", cause->path}},
             {{"exit", double(nExit)}, {"needed", double(cause->nNeeded)}});
        return;
    }
    ClearBar();
    if (!why.isEmpty())
        Put(m_pErr, QStringLiteral("orvanta-update: %1\n").arg(why));
}

} // namespace orvanta::terminal
