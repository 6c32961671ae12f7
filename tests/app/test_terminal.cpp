#include "app/TerminalView.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>

#include <cstdio>

#include <gtest/gtest.h>

using namespace orvanta::terminal;

namespace {

QByteArray Drain(std::FILE* pFile)
{
    std::fflush(pFile);
    std::rewind(pFile);
    QByteArray out;
    char buffer[4096];
    while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, pFile))
        out.append(buffer, qsizetype(n));
    return out;
}

} // namespace

TEST(TerminalView, ProgressFitsEveryWidthAndSaysUnitsSpeedAndTimeLeft)
{
    EXPECT_EQ(FormatBytes(0), "0 B");
    EXPECT_EQ(FormatBytes(8 * 1024), "8.0 KiB");
    EXPECT_EQ(FormatBytes(1536ull * 1024 * 1024), "1.50 GiB");
    EXPECT_EQ(FormatBytes(~0ull), "16.0 EiB");
    EXPECT_EQ(FormatDuration(3725), "1:02:05");
    EXPECT_EQ(FormatDuration(-1), "--:--");
    const QString wide = ProgressLine(50ull << 20, 100ull << 20, 2.0 * (1 << 20), 120);
    EXPECT_TRUE(wide.contains("50%")) << wide.toStdString();
    EXPECT_TRUE(wide.contains("50.0 MiB / 100 MiB")) << wide.toStdString();
    EXPECT_TRUE(wide.contains("2.00 MiB/s")) << wide.toStdString();
    EXPECT_TRUE(wide.contains("0:25")) << wide.toStdString();
    for (int nColumns = 5; nColumns <= 200; ++nColumns) {
        // More received than the total (a retried file) never shows past 100 %.
        for (const auto nDone : {0ull, 1ull << 30, 3ull << 30}) {
            const QString line = ProgressLine(nDone, 2ull << 30, 12345678.0, nColumns);
            EXPECT_LT(line.size(), nColumns) << nColumns << " " << line.toStdString();
            EXPECT_FALSE(line.contains("150%"));
        }
    }
}

TEST(TerminalView, JsonLinesAreOneObjectEachWithTheEndLast)
{
    std::FILE* pOut = std::tmpfile();
    std::FILE* pErr = std::tmpfile();
    {
        CTerminalView view(Mode::Json, 0, pOut, pErr);
        view.Status(QStringLiteral("파일을 업데이트 중입니다"));
        view.FileStarted(1, 2, QStringLiteral("a \"b\"\n.pak"), 10);
        view.Bytes(5, 10, 0);
        view.Bytes(6, 10, 1);  // within the redraw interval: not printed
        view.Bytes(10, 10, 2);
        view.FileDone(1, 2, QStringLiteral("a.pak"), 10);
        view.FileStarted(1, 2, QStringLiteral("a.pak"), 10);  // already done: not said to begin again
        view.End(QStringLiteral("stopped"), 1, QStringLiteral("why"),
                 EndCause{QStringLiteral("disk-full"), QStringLiteral("/게임/big.bin"), 1536});
    }
    const QList<QByteArray> lines = Drain(pOut).trimmed().split('\n');
    ASSERT_EQ(lines.size(), 6);
    QStringList types;
    for (const QByteArray& line : lines) {
        const QJsonObject object = QJsonDocument::fromJson(line).object();
        types << object.value("type").toString();
    }
    EXPECT_EQ(types.join(','), "status,file,progress,progress,done,end");
    EXPECT_EQ(QJsonDocument::fromJson(lines[1]).object().value("name").toString(), QStringLiteral("a \"b\"\n.pak"));
    const QJsonObject end = QJsonDocument::fromJson(lines[5]).object();
    EXPECT_EQ(end.value("exit").toInt(), 1);
    EXPECT_EQ(end.value("cause").toString(), "disk-full");
    EXPECT_EQ(end.value("path").toString(), QStringLiteral("/게임/big.bin"));
    EXPECT_EQ(end.value("needed").toInt(), 1536);
    EXPECT_TRUE(Drain(pErr).isEmpty());
    std::fclose(pOut);
    std::fclose(pErr);
}

TEST(TerminalView, RatesReadAsCurlReadsThem)
{
    using orvanta::terminal::ParseRate;
    EXPECT_EQ(ParseRate(QStringLiteral("0")), 0u);
    EXPECT_EQ(ParseRate(QStringLiteral("2000")), 2000u);
    EXPECT_EQ(ParseRate(QStringLiteral("500k")), 500u * 1024);
    EXPECT_EQ(ParseRate(QStringLiteral("1.5M")), 3u * 512 * 1024);
    EXPECT_EQ(ParseRate(QStringLiteral("1G")), 1024u * 1024 * 1024);
    for (const char* bad : {"", "k", "-5", "2x", "nan", "5000G", "1e30"})
        EXPECT_FALSE(ParseRate(QString::fromLatin1(bad))) << bad;
}
