// The signed release's text form and the digest field: what a publisher's
// tool writes must read back exactly, and nothing else may; and the key
// the tool makes for it.
#include "patch/Digest.h"
#include "patch/Manifest.h"
#include "support/TestSupport.h"
#include "transfer/Crypto.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

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

// keygen makes a new pair once: it never overwrites a key nor writes both
// to one file, and the private key is its owner's alone whatever the umask.
TEST(ReleaseTool, KeygenMakesANewPairOnceAndKeepsThePrivateKeyPrivate)
{
    QTemporaryDir dir;
    const auto path = [&](const char* name) { return dir.filePath(QLatin1String(name)); };
    QString error;
    const auto keygen = [&](const QString& privatePath, const QString& publicPath) {
        QProcess tool;
        tool.setChildProcessModifier([]() { ::umask(0); });
        tool.start(testing_support::BinaryPath(QStringLiteral("tools/orvanta-release")),
                   {QStringLiteral("keygen"), privatePath, publicPath});
        tool.waitForFinished(testing_support::ScaledMs(10000));
        error = QString::fromLocal8Bit(tool.readAllStandardError());
        return tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1;
    };
    const auto contents = [](const QString& file) {
        QFile in(file);
        return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
    };

    ASSERT_EQ(keygen(path("key.pem"), path("key.pub")), 0) << error.toStdString();
    EXPECT_TRUE(error.isEmpty()) << error.toStdString();
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(path("key.pem")).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const QByteArray pem = contents(path("key.pem"));
    const auto publicKey = PublicKeyOf(pem.toStdString());
    ASSERT_TRUE(publicKey);
    EXPECT_EQ(contents(path("key.pub")), QByteArray::fromStdString(ToHex(*publicKey) + "\n"));

    struct Refused {
        QString privatePath;
        QString publicPath;
        QString named;
    };
    const Refused refused[] = {
        {path("key.pem"), path("new.pub"), path("key.pem")},
        {path("new.pem"), path("key.pub"), path("key.pub")},
        {path("one"), path("one"), path("one")},
    };
    for (const Refused& r : refused) {
        SCOPED_TRACE(r.named.toStdString());
        EXPECT_NE(keygen(r.privatePath, r.publicPath), 0);
        EXPECT_TRUE(error.contains(r.named)) << error.toStdString();
        EXPECT_FALSE(QFile::exists(path("new.pem")) || QFile::exists(path("new.pub")) || QFile::exists(path("one")));
    }
    EXPECT_EQ(contents(path("key.pem")), pem);
}
