// orvanta-release: the publisher's signing tool. It makes an Ed25519 key
// pair, and signs a release folder's list (the version, and every file's
// folder, name, size and SHA-256 in the order the patch server lists them)
// into the signature file that lies beside the release on the FTP server.
#include "patchd/Release.h"

#include "patch/Manifest.h"
#include "transfer/Crypto.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cstdio>
#include <limits>

namespace {

int Fail(const QString& message)
{
    std::fprintf(stderr, "orvanta-release: %s\n", message.toLocal8Bit().constData());
    return 1;
}

void Usage()
{
    std::fputs("usage:\n"
               "  orvanta-release keygen PRIVATE.pem PUBLIC.pub\n"
               "      Makes a key pair. Keep PRIVATE.pem off every server; build the updater\n"
               "      with -DORVANTA_RELEASE_PUBLIC_KEY=<the hex text of PUBLIC.pub>.\n"
               "  orvanta-release sign PRIVATE.pem RELEASE_DIR VERSION\n"
               "      Signs the release in RELEASE_DIR as version VERSION and writes\n"
               "      RELEASE_DIR/.orvanta-release.sig. Sign after the last change to the\n"
               "      folder; the patch server must announce the same version.\n"
               "  orvanta-release verify PUBLIC.pub RELEASE_DIR\n"
               "      Checks RELEASE_DIR's signature and that it matches the folder.\n",
               stderr);
}

bool WriteFile(const QString& path, const QByteArray& bytes, bool bPrivate)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (bPrivate)
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write(bytes);
    return file.commit();
}

std::optional<QByteArray> ReadFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll();
}

std::optional<orvanta::ReleaseManifest> ScanRelease(const QString& folder, std::int32_t nVersion, QString* pError)
{
    std::vector<patchd::CReleaseFile> files;
    if (!patchd::LoadReleaseFolder(folder, &files, pError, true))
        return std::nullopt;
    orvanta::ReleaseManifest manifest;
    manifest.nVersion = nVersion;
    for (const patchd::CReleaseFile& file : files)
        manifest.entries.push_back(file.entry);
    return manifest;
}

QString SignaturePath(const QString& folder)
{
    return QDir(folder).filePath(QString::fromLatin1(orvanta::RELEASE_SIGNATURE_PATH).mid(1));
}

int KeyGen(const QString& privatePath, const QString& publicPath)
{
    if (QFileInfo::exists(privatePath))
        return Fail(QStringLiteral("%1 exists; not overwritten").arg(privatePath));
    const auto pair = orvanta::GenerateEd25519();
    if (!pair)
        return Fail(QStringLiteral("no key could be made"));
    if (!WriteFile(privatePath, QByteArray::fromStdString(pair->privatePem), true) ||
        !WriteFile(publicPath, QByteArray::fromStdString(orvanta::ToHex(pair->publicKey) + "\n"), false))
        return Fail(QStringLiteral("cannot write the keys"));
    std::printf("public key %s\n", orvanta::ToHex(pair->publicKey).c_str());
    return 0;
}

int Sign(const QString& privatePath, const QString& folder, const QString& versionText)
{
    bool bOk = false;
    const qlonglong nVersion = versionText.toLongLong(&bOk);
    if (!bOk || nVersion < std::numeric_limits<std::int32_t>::min() || nVersion > std::numeric_limits<std::int32_t>::max())
        return Fail(QStringLiteral("bad version %1").arg(versionText));
    const auto pem = ReadFile(privatePath);
    if (!pem)
        return Fail(QStringLiteral("cannot read %1").arg(privatePath));
    QString error;
    const auto manifest = ScanRelease(folder, std::int32_t(nVersion), &error);
    if (!manifest)
        return Fail(error);
    const std::string text = orvanta::ManifestText(*manifest);
    const auto signature = orvanta::SignEd25519(pem->toStdString(), text);
    if (!signature)
        return Fail(QStringLiteral("%1 is not an Ed25519 private key").arg(privatePath));
    if (!WriteFile(SignaturePath(folder), QByteArray::fromStdString(orvanta::SignatureFileText(text, *signature)), false))
        return Fail(QStringLiteral("cannot write %1").arg(SignaturePath(folder)));
    std::printf("signed version %lld: %zu files\n", nVersion, manifest->entries.size());
    return 0;
}

int Verify(const QString& publicPath, const QString& folder)
{
    const auto pub = ReadFile(publicPath);
    const auto key = pub ? orvanta::FromHex(pub->trimmed().toStdString()) : std::nullopt;
    if (!key || key->size() != orvanta::Ed25519PublicKey().size())
        return Fail(QStringLiteral("%1 holds no public key").arg(publicPath));
    orvanta::Ed25519PublicKey publicKey{};
    std::copy(key->begin(), key->end(), publicKey.begin());
    const auto file = ReadFile(SignaturePath(folder));
    const auto signedFile = file ? orvanta::ParseSignatureFile(file->toStdString()) : std::nullopt;
    if (!signedFile)
        return Fail(QStringLiteral("no readable signature in %1").arg(folder));
    if (!orvanta::VerifyEd25519(publicKey, signedFile->message, signedFile->signature))
        return Fail(QStringLiteral("the signature does not verify with this key"));
    QString error;
    const auto manifest = ScanRelease(folder, signedFile->manifest.nVersion, &error);
    if (!manifest)
        return Fail(error);
    if (orvanta::ManifestText(*manifest) != signedFile->message)
        return Fail(QStringLiteral("the folder has changed since it was signed"));
    std::printf("version %d: signature good, %zu files match\n", manifest->nVersion, manifest->entries.size());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() == 3 && args[0] == QLatin1String("keygen"))
        return KeyGen(args[1], args[2]);
    if (args.size() == 4 && args[0] == QLatin1String("sign"))
        return Sign(args[1], args[2], args[3]);
    if (args.size() == 3 && args[0] == QLatin1String("verify"))
        return Verify(args[1], args[2]);
    Usage();
    return 2;
}
