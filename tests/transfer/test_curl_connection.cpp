// CCurlConnection against the real FTP server on loopback.
#include "support/FtpServer.h"
#include "support/TestSupport.h"

#include "transfer/CurlConnection.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

using testing_support::CFtpServer;

namespace {

class CStringSink final : public IByteSink {
public:
    bool Write(std::span<const std::byte> bytes) override
    {
        m_bytes.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return true;
    }
    std::string m_bytes;
};

QByteArray Contents()
{
    QByteArray bytes;
    for (int i = 0; i < 100000; ++i)
        bytes.append(char('a' + i % 26));
    return bytes;
}

std::unique_ptr<CCurlConnection> LoggedIn(const CFtpServer& server)
{
    auto pConnection = CCurlConnection::Create();
    if (pConnection && !pConnection->LogIn({"127.0.0.1", server.Port(), "updater", "secret", true}))
        pConnection.reset();
    return pConnection;
}

// Size, ranges from the middle (to the end and bounded), a small file,
// and what the server refuses, on the one logged-in connection.
TEST(CurlConnectionTest, AsksSizesAndFetchesRangesOnOneConnection)
{
    CFtpServer server;
    ASSERT_TRUE(server.Start());
    const QByteArray contents = Contents();
    ASSERT_TRUE(server.AddFile(QStringLiteral("d/file.bin"), contents));
    auto pConnection = LoggedIn(server);
    ASSERT_TRUE(pConnection);

    EXPECT_EQ(pConnection->Size("d/file.bin"), std::uint64_t(contents.size()));
    EXPECT_FALSE(pConnection->Size("d/missing.bin"));

    CStringSink tail;
    EXPECT_EQ(pConnection->Fetch({"d/file.bin", 60000}, tail), CurlResult::Done);
    EXPECT_EQ(tail.m_bytes, contents.mid(60000).toStdString());
    EXPECT_EQ(pConnection->FetchSmall("d/file.bin", std::size_t(contents.size())), contents.toStdString());
    CStringSink missing;
    EXPECT_EQ(pConnection->Fetch({"d/missing.bin"}, missing), CurlResult::Failed);
    EXPECT_EQ(server.Count(QStringLiteral("CONNECT")), 1);

    // Both end the data early, which costs the connection: curl logs in
    // again for the next request.
    CStringSink middle;
    EXPECT_EQ(pConnection->Fetch({"d/file.bin", 1000, 1500}, middle), CurlResult::Done);
    EXPECT_EQ(middle.m_bytes, contents.mid(1000, 500).toStdString());
    EXPECT_FALSE(pConnection->FetchSmall("d/file.bin", 100)) << "longer than allowed";
}

TEST(CurlConnectionTest, CancelFromAnotherThreadEndsAStalledFetchPromptly)
{
    CFtpServer::Options options;
    options.nStallAfter = 4096;
    CFtpServer server(options);
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.AddFile(QStringLiteral("file.bin"), Contents()));
    auto pConnection = LoggedIn(server);
    ASSERT_TRUE(pConnection);

    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(testing_support::ScaledMs(300)));
        pConnection->Cancel();
    });
    QElapsedTimer timer;
    timer.start();
    CStringSink sink;
    const CurlResult result = pConnection->Fetch({"file.bin"}, sink);
    canceller.join();
    EXPECT_EQ(result, CurlResult::Lost);
    EXPECT_LT(timer.elapsed(), testing_support::ScaledMs(3000));
    EXPECT_EQ(pConnection->Fetch({"file.bin"}, sink), CurlResult::Lost) << "cancelled for good";
}

} // namespace
