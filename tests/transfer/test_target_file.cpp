// CTargetFile alone, on a temporary folder: no network, no Qt.
#include "transfer/TargetFile.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string Read(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void Put(const fs::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

orvanta::Sha256Digest DigestOf(const std::string& bytes)
{
    orvanta::CSha256 hash;
    hash.Update(bytes.data(), bytes.size());
    return hash.Final();
}

bool Write(CTargetFile& file, std::string_view bytes)
{
    return file.Write(std::as_bytes(std::span(bytes.data(), bytes.size())));
}

class TargetFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_dir = fs::temp_directory_path() / ("target-file-" + std::to_string(::getpid()));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
        m_target = m_dir / "game.dat";
        m_temp = m_dir / ".game.part";
        Put(m_target, "old");
    }
    void TearDown() override { fs::remove_all(m_dir); }

    fs::path m_dir;
    fs::path m_target;  // both inside m_dir, once SetUp made it
    fs::path m_temp;
    const std::string m_new = std::string(3000, 'a') + std::string(3000, 'b');
};

// Pieces written, then the object gone mid-file as a kill leaves it: the
// old target stays, and the part is continued by the next one up to a
// whole file with the digest.
TEST_F(TargetFileTest, KilledMidFileLeavesTheOldTargetAndAPartThatContinues)
{
    {
        CTargetFile file(m_target, m_temp, m_new.size(), DigestOf(m_new));
        ASSERT_TRUE(file.HasRoom());
        ASSERT_EQ(file.ContinuablePart(), 0u);
        ASSERT_TRUE(file.Begin(0));
        ASSERT_TRUE(Write(file, std::string_view(m_new).substr(0, 1000)));
        ASSERT_TRUE(Write(file, std::string_view(m_new).substr(1000, 3000)));
    }
    EXPECT_EQ(Read(m_target), "old");
    EXPECT_EQ(Read(m_temp), m_new.substr(0, 4000));

    CTargetFile file(m_target, m_temp, m_new.size(), DigestOf(m_new));
    const std::uint64_t nFrom = file.ContinuablePart();
    ASSERT_EQ(nFrom, 4000u);
    ASSERT_TRUE(file.Begin(nFrom));
    EXPECT_FALSE(Write(file, m_new.substr(4000) + "x")) << "more than the file's size";
    ASSERT_TRUE(Write(file, m_new.substr(4000)));
    ASSERT_TRUE(file.End());
    ASSERT_TRUE(file.IsComplete());
    ASSERT_TRUE(file.DigestMatches());
    ASSERT_TRUE(file.Commit());
    EXPECT_EQ(Read(m_target), m_new);
    EXPECT_FALSE(fs::exists(m_temp));
}

// Bytes with another digest never replace the target; what is kept of a
// transfer follows whether a digest can check its continuation.
TEST_F(TargetFileTest, OnlyACheckablePartOfABrokenTransferIsKept)
{
    {
        CTargetFile file(m_target, m_temp, m_new.size(), DigestOf("something else"));
        ASSERT_TRUE(file.Begin(0));
        ASSERT_TRUE(Write(file, m_new));
        ASSERT_TRUE(file.End());
        EXPECT_TRUE(file.IsComplete());
        EXPECT_FALSE(file.DigestMatches());
        EXPECT_FALSE(file.Commit());
        EXPECT_FALSE(file.Fault());
        file.Discard(false);
    }
    EXPECT_EQ(Read(m_target), "old");
    EXPECT_FALSE(fs::exists(m_temp));

    struct Case {
        bool bDigest;
        bool bBroken;
        std::size_t nBytes;
        bool bKept;
    };
    for (const Case& c : {Case{true, true, 10, true}, Case{true, false, 10, false}, Case{false, true, 10, false},
                          Case{true, true, 0, false}}) {
        SCOPED_TRACE(testing::Message() << c.bDigest << c.bBroken << c.nBytes);
        std::optional<orvanta::Sha256Digest> digest;
        if (c.bDigest)
            digest = DigestOf(m_new);
        CTargetFile file(m_target, m_temp, m_new.size(), digest);
        ASSERT_TRUE(file.Begin(0));
        ASSERT_TRUE(Write(file, m_new.substr(0, c.nBytes)));
        ASSERT_TRUE(file.End());
        file.Discard(c.bBroken);
        EXPECT_EQ(fs::exists(m_temp), c.bKept);
        EXPECT_EQ(Read(m_target), "old");
    }
    // A part longer than the file is no part of it.
    Put(m_temp, m_new + "x");
    EXPECT_EQ(CTargetFile(m_target, m_temp, m_new.size(), DigestOf(m_new)).ContinuablePart(), 0u);
}

} // namespace
