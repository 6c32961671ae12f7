// The signed release's text form and the digest field: what a publisher's
// tool writes must read back exactly, and nothing else may.
#include "patch/Digest.h"
#include "patch/Manifest.h"
#include "transfer/Crypto.h"

#include <gtest/gtest.h>

using namespace orvanta;

namespace {

FileEntry Entry(const std::string& folder, const std::string& name, std::uint32_t size, std::uint8_t fill)
{
    FileEntry entry;
    entry.folder = folder;
    entry.name = name;
    entry.size = size;
    Sha256Digest digest{};
    digest.fill(fill);
    SetEntryDigest(&entry, digest);
    return entry;
}

const ReleaseManifest RELEASE{7, {Entry("", "root.bin", 3, 1), Entry("data/map", "\xc7\xd1.bin", 10, 2),
                                  Entry("data", "c.bin", 0, 3)}};

} // namespace

TEST(Manifest, SignatureFileReadsBackAndRefusesAnythingElse)
{
    const std::string text = ManifestText(RELEASE);
    Ed25519Signature signature{};
    signature.fill(0xAB);
    const std::string file = SignatureFileText(text, signature);
    const auto parsed = ParseSignatureFile(file);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->message, text);
    EXPECT_EQ(parsed->signature, signature);
    EXPECT_EQ(parsed->manifest.nVersion, 7);
    EXPECT_EQ(parsed->manifest.entries, RELEASE.entries);

    const std::string bad[] = {
        file.substr(0, file.size() - 1),                      // no last line feed
        file + "x\n",                                          // bytes after the signature
        "orvanta-release 2\n" + file.substr(18),               // another format
        text,                                                  // no signature at all
        std::string(file).replace(file.find("version 7"), 9, "version x"),
        std::string(file).replace(file.find("entry 3 "), 8, "entry -3 "),
        std::string(file).replace(file.find(" 726f"), 5, " 726"),  // odd hex
        file.substr(0, file.find("entry")) + "entry 1 " + std::string(64, '0') + " - -\n" +
            file.substr(file.find("signature")),              // empty name
        file.substr(0, file.find("signature")) + "signature abcd\n",
    };
    for (const std::string& one : bad)
        EXPECT_FALSE(ParseSignatureFile(one)) << one;
}

TEST(Manifest, AListIsPartOfTheReleaseOnlyInItsOrderWithItsDigests)
{
    const auto& e = RELEASE.entries;
    EXPECT_TRUE(IsPartOfManifest(e, RELEASE));
    EXPECT_TRUE(IsPartOfManifest(std::vector<FileEntry>{e[0], e[2]}, RELEASE));  // a delta list
    EXPECT_TRUE(IsPartOfManifest(std::vector<FileEntry>{}, RELEASE));
    EXPECT_FALSE(IsPartOfManifest(std::vector<FileEntry>{e[2], e[0]}, RELEASE));  // reordered
    EXPECT_FALSE(IsPartOfManifest(std::vector<FileEntry>{e[0], e[0]}, RELEASE));  // listed twice
    FileEntry changed = e[1];
    changed.size += 1;
    EXPECT_FALSE(IsPartOfManifest(std::vector<FileEntry>{changed}, RELEASE));
    FileEntry unsigned_ = e[1];
    unsigned_.reserved.fill(0);
    EXPECT_FALSE(IsPartOfManifest(std::vector<FileEntry>{unsigned_}, RELEASE));
    EXPECT_FALSE(IsPartOfManifest(std::vector<FileEntry>{Entry("data", "new.bin", 1, 4)}, RELEASE));
}

TEST(Manifest, SignaturesVerifyOnlyWithTheirKeyAndMessage)
{
    const auto pair = GenerateEd25519();
    const auto other = GenerateEd25519();
    ASSERT_TRUE(pair && other);
    const std::string text = ManifestText(RELEASE);
    const auto signature = SignEd25519(pair->privatePem, text);
    ASSERT_TRUE(signature);
    EXPECT_EQ(PublicKeyOf(pair->privatePem), pair->publicKey);
    EXPECT_TRUE(VerifyEd25519(pair->publicKey, text, *signature));
    EXPECT_FALSE(VerifyEd25519(other->publicKey, text, *signature));
    EXPECT_FALSE(VerifyEd25519(pair->publicKey, text + " ", *signature));
    EXPECT_FALSE(SignEd25519("not a key", text));
}
