// How list entries become server paths and places in the game folder.
#include "transfer/FtpSession.h"
#include "transfer/PathRules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(PathRules, EntriesThatStayInsideTheGameFolder)
{
    const struct {
        const char* folder;
        const char* name;
        bool bSafe;
    } cases[] = {
        {"", "a.bin", true},
        {"data/map", "a.bin", true},
        {"/data/map", "a.bin", true},   // prepended to the game folder
        {"data/map/", "a.bin", true},
        {"data/./map", "a.bin", true},
        {"data/..map", "..a.bin", true},  // dots inside a name are fine
        {"\xC7\xD1\xB1\xDB", "\xC7\xD1.bin", true},  // CP949 Korean
        {"", "", false},
        {"data", ".", false},
        {"data", "..", false},
        {"data", "a/b.bin", false},
        {"data", "a\\b.bin", false},
        {"data", "c:x.bin", false},
        {"..", "a.bin", false},
        {"../data", "a.bin", false},
        {"data/..", "a.bin", false},
        {"data/../..", "a.bin", false},
        {"/..", "a.bin", false},
        {"data\\..", "a.bin", false},
        {"C:", "a.bin", false},
        {"C:/Windows", "a.bin", false},
        {"//server/share", "a.bin", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(orvanta::IsSafeEntry(c.folder, c.name), c.bSafe) << '"' << c.folder << "\" \"" << c.name << '"';
}

TEST(PathRules, FoldersAreMadeShallowestFirst)
{
    using Steps = std::vector<std::string>;
    EXPECT_EQ(orvanta::FolderSteps(""), Steps{""});
    EXPECT_EQ(orvanta::FolderSteps("data"), Steps{"data"});
    EXPECT_EQ(orvanta::FolderSteps("data/map"), (Steps{"data", "data/map"}));
    EXPECT_EQ(orvanta::FolderSteps("/a/b"), (Steps{"/a", "/a/b"}));
    EXPECT_EQ(orvanta::FolderSteps("a/b/"), (Steps{"a", "a/b", "a/b/"}));
    EXPECT_EQ(orvanta::FolderSteps("/"), Steps{"/"});
}

TEST(PathRules, RemotePathJoinsFolderAndName)
{
    EXPECT_EQ(orvanta::RemotePath("", "a.bin"), "/a.bin");
    EXPECT_EQ(orvanta::RemotePath("data/map", "a.bin"), "data/map/a.bin");
    EXPECT_EQ(orvanta::RemotePath("data/map/", "a.bin"), "data/map/a.bin");
    EXPECT_EQ(orvanta::RemotePath("/a/b", "c.bin"), "/a/b/c.bin");
}

TEST(PathRules, UrlPathKeepsEveryByteOfTheServerPath)
{
    EXPECT_EQ(orvanta::EncodeFtpUrlPath("data/map/a.bin"), "data/map/a.bin");
    EXPECT_EQ(orvanta::EncodeFtpUrlPath("/a.bin"), "%2Fa.bin");
    EXPECT_EQ(orvanta::EncodeFtpUrlPath("/a/b c.bin"), "%2Fa/b%20c.bin");
    EXPECT_EQ(orvanta::EncodeFtpUrlPath("\xC7\xD1/x?#%;.bin"), "%C7%D1/x%3F%23%25%3B.bin");
    EXPECT_EQ(orvanta::EncodeFtpUrlPath(std::string("a\0b", 3)), "a%00b");
    EXPECT_EQ(orvanta::EncodeFtpUrlPath("Az09-._~"), "Az09-._~");
}

TEST(PathRules, HostsThatCanStandInAUrl)
{
    EXPECT_TRUE(orvanta::IsUrlHost("127.0.0.1"));
    EXPECT_TRUE(orvanta::IsUrlHost("ftp.example-one.com"));
    EXPECT_TRUE(orvanta::IsUrlHost("::1"));
    EXPECT_TRUE(orvanta::IsUrlHost("fe80::1:2"));
    EXPECT_FALSE(orvanta::IsUrlHost(""));
    EXPECT_FALSE(orvanta::IsUrlHost("host/path"));
    EXPECT_FALSE(orvanta::IsUrlHost("user@host"));
    EXPECT_FALSE(orvanta::IsUrlHost("host:21"));  // not a v6 literal: 'h' is no hex digit
    EXPECT_FALSE(orvanta::IsUrlHost("a b"));
    EXPECT_FALSE(orvanta::IsUrlHost(std::string(254, 'a')));
}

TEST(PathRules, HostAndPort)
{
    const struct {
        const char* text;
        const char* host;
        int port;
    } cases[] = {
        {"ftp.example.com", "ftp.example.com", 21},
        {"10.0.0.5:2121", "10.0.0.5", 2121},
        {"10.0.0.5:65535", "10.0.0.5", 65535},
        {"[::1]:2100", "::1", 2100},
        {"[fe80::2]", "fe80::2", 21},
        {"::1", "::1", 21},
        {"", "", 21},
        {"host:", "host:", 21},
        {"host:0", "host:0", 21},
        {"host:65536", "host:65536", 21},
        {"host:12ab", "host:12ab", 21},
        {"host:+21", "host:+21", 21},
        {"[::1", "[::1", 21},
        {"[::1]x", "[::1]x", 21},
    };
    for (const auto& c : cases) {
        const orvanta::HostPort parsed = orvanta::SplitHostPort(c.text);
        EXPECT_EQ(parsed.host, c.host) << c.text;
        EXPECT_EQ(parsed.port, c.port) << c.text;
        const FtpEndpoint endpoint = ParseFtpEndpoint(c.text);  // as the session reads FtpInfo::host
        EXPECT_EQ(endpoint.host, c.host) << c.text;
        EXPECT_EQ(endpoint.port, c.port) << c.text;
    }
}

} // namespace
