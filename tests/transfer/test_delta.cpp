// Binary patches: what is made applies to exactly the new file, and
// anything else (another older file, a damaged or foreign patch) is
// reported, never written as the new file.
#include "patch/Digest.h"
#include "transfer/Crypto.h"
#include "transfer/Delta.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;

std::string Random(std::size_t nSize, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string bytes(nSize, '\0');
    for (char& c : bytes)
        c = char(rng());
    return bytes;
}

void Write(const fs::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string Read(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

orvanta::Sha256Digest DigestOf(const std::string& bytes)
{
    orvanta::CSha256 hash;
    hash.Update(bytes.data(), bytes.size());
    return hash.Final();
}

class DeltaTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_dir = fs::temp_directory_path() /
                ("orvanta-delta-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(m_dir);
        m_old = Random(3 << 20, 1);
        m_new = m_old;
        // A few rewritten stretches, one grown end: a pack file's next version.
        for (std::size_t at : {100000u, 1500000u, 2900000u})
            m_new.replace(at, 4000, Random(4000, unsigned(at)));
        m_new += Random(20000, 7);
        Write(m_dir / "old", m_old);
        Write(m_dir / "new", m_new);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    orvanta::ApplyResult Apply(const fs::path& base, const fs::path& patch)
    {
        return orvanta::ApplyPatch(base, patch, m_dir / "out", m_new.size(), DigestOf(m_new));
    }

    fs::path m_dir;
    std::string m_old;
    std::string m_new;
};

TEST_F(DeltaTest, PatchMakesExactlyTheNewFileFromExactlyTheOldOne)
{
    const auto nPatch = orvanta::MakePatch(m_dir / "old", m_dir / "new", m_dir / "p", {.nLevel = 3}, nullptr);
    ASSERT_TRUE(nPatch);
    EXPECT_LT(*nPatch, m_new.size() / 50);  // 32 KB changed of 3 MB
    const std::string patch = Read(m_dir / "p");
    const auto header = orvanta::ReadPatchHeader(std::span(reinterpret_cast<const std::uint8_t*>(patch.data()), 18));
    ASSERT_TRUE(header);
    EXPECT_EQ(header->nContentSize, m_new.size());

    EXPECT_EQ(Apply(m_dir / "old", m_dir / "p"), orvanta::ApplyResult::Applied);
    EXPECT_EQ(Read(m_dir / "out"), m_new);

    // Another older file decodes to other bytes, and says so.
    std::string edited = m_old;
    edited[2000000] ^= 0x55;
    Write(m_dir / "edited", edited);
    EXPECT_EQ(Apply(m_dir / "edited", m_dir / "p"), orvanta::ApplyResult::WrongResult);
    EXPECT_EQ(Apply(m_dir / "missing", m_dir / "p"), orvanta::ApplyResult::IoError);

    // Damaged patches: cut short, a byte flipped, bytes after the frame,
    // not a patch at all, one for a file of another size.
    Write(m_dir / "short", patch.substr(0, patch.size() / 2));
    std::string flipped = patch;
    flipped[patch.size() / 2] ^= 0x01;
    Write(m_dir / "flipped", flipped);
    Write(m_dir / "trailing", patch + "x");
    Write(m_dir / "foreign", m_new.substr(0, 1000));
    // A frame header that asks for a 4 GiB window (log 32) for this size.
    std::string huge("\x28\xB5\x2F\xFD\x80\xB0", 6);
    for (int i = 0; i < 4; ++i)
        huge += char((m_new.size() >> (8 * i)) & 0xFF);
    Write(m_dir / "huge", huge + patch.substr(10));
    EXPECT_EQ(Apply(m_dir / "old", m_dir / "short"), orvanta::ApplyResult::WrongResult);
    EXPECT_EQ(Apply(m_dir / "old", m_dir / "flipped"), orvanta::ApplyResult::WrongResult);
    EXPECT_EQ(Apply(m_dir / "old", m_dir / "trailing"), orvanta::ApplyResult::BadPatch);
    EXPECT_EQ(Apply(m_dir / "old", m_dir / "foreign"), orvanta::ApplyResult::BadPatch);
    EXPECT_EQ(Apply(m_dir / "old", m_dir / "huge"), orvanta::ApplyResult::BadPatch);
    EXPECT_EQ(orvanta::ApplyPatch(m_dir / "old", m_dir / "p", m_dir / "out", m_new.size() - 1, DigestOf(m_new)),
              orvanta::ApplyResult::BadPatch);

    // A player who leaves stops it between blocks.
    const std::atomic<bool> stop{true};
    EXPECT_EQ(orvanta::ApplyPatch(m_dir / "old", m_dir / "p", m_dir / "out", m_new.size(), DigestOf(m_new), &stop),
              orvanta::ApplyResult::Cancelled);
}

TEST_F(DeltaTest, NoPatchPastTheWindowAnUpdaterAccepts)
{
    std::string error;
    EXPECT_FALSE(orvanta::MakePatch(m_dir / "old", m_dir / "new", m_dir / "p", {.nLevel = 1, .nMaxWindow = 1 << 20},
                                    &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(fs::exists(m_dir / "p"));
}

TEST(PatchNames, FollowTheEntryAndAreKnownAgain)
{
    orvanta::BasePrefix base{};
    base.fill(0xAB);
    orvanta::Sha256Digest target{};
    target.fill(0xCD);
    const std::string name = orvanta::PatchFileName("pack.dat", base, target);
    EXPECT_EQ(name, "pack.dat.abababababababababababababababab.cdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcd.zpatch");
    EXPECT_TRUE(orvanta::IsPatchFileName(name));
    for (const char* other : {"pack.dat", "pack.zpatch", "x.ABABABABABABABABABABABABABABABAB.zpatch",
                              "x.abababababababababababababababa.zpatch", ".abababababababababababababababab.zpatc"})
        EXPECT_FALSE(orvanta::IsPatchFileName(other)) << other;

    orvanta::FileEntry entry;
    orvanta::Sha256Digest digest{};
    digest.fill(0x11);
    orvanta::SetEntryDelta(&entry, digest, base);
    EXPECT_EQ(orvanta::EntryDigest(entry), digest);
    EXPECT_EQ(orvanta::EntryBasePrefix(entry), base);
    orvanta::SetEntryDigest(&entry, digest);
    EXPECT_FALSE(orvanta::EntryBasePrefix(entry));
}

} // namespace
