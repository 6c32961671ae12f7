#include "transfer/Crypto.h"
#include "transfer/OpenFile.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <system_error>

#ifndef _WIN32
#include <fcntl.h>
#endif

namespace orvanta {
namespace {

constexpr std::size_t MAX_BLOCK = std::size_t(1) << 20;

struct PKeyDeleter {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct MdCtxDeleter {
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
struct BioDeleter {
    void operator()(BIO* p) const { BIO_free(p); }
};
using PKey = std::unique_ptr<EVP_PKEY, PKeyDeleter>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxDeleter>;

PKey ReadPrivateKey(std::string_view pem)
{
    std::unique_ptr<BIO, BioDeleter> bio(BIO_new_mem_buf(pem.data(), int(pem.size())));
    if (!bio)
        return nullptr;
    PKey key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (key && EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519)
        return nullptr;
    return key;
}

std::optional<Ed25519PublicKey> RawPublicKey(EVP_PKEY* pKey)
{
    Ed25519PublicKey raw{};
    std::size_t nSize = raw.size();
    if (EVP_PKEY_get_raw_public_key(pKey, raw.data(), &nSize) != 1 || nSize != raw.size())
        return std::nullopt;
    return raw;
}

} // namespace

struct CSha256::Context {
    MdCtx ctx{EVP_MD_CTX_new()};
};

CSha256::CSha256() : m_pContext(std::make_unique<Context>())
{
    Reset();
}

CSha256::~CSha256() = default;

void CSha256::Reset()
{
    m_bOk = m_pContext->ctx && EVP_DigestInit_ex(m_pContext->ctx.get(), EVP_sha256(), nullptr) == 1;
}

void CSha256::Update(std::span<const std::uint8_t> bytes)
{
    Update(bytes.data(), bytes.size());
}

void CSha256::Update(const void* pData, std::size_t nSize)
{
    if (m_bOk && nSize > 0)
        m_bOk = EVP_DigestUpdate(m_pContext->ctx.get(), pData, nSize) == 1;
}

Sha256Digest CSha256::Final()
{
    Sha256Digest digest{};
    unsigned int nSize = 0;
    if (m_bOk)
        m_bOk = EVP_DigestFinal_ex(m_pContext->ctx.get(), digest.data(), &nSize) == 1 && nSize == digest.size();
    return digest;
}

std::optional<Sha256Digest> Sha256OfFile(const std::filesystem::path& path, const std::atomic<bool>* pStop,
                                         const std::function<void(std::size_t)>& onRead)
{
    std::FILE* pFile = OpenFile(path, "rb");
    if (!pFile)
        return std::nullopt;
    std::setvbuf(pFile, nullptr, _IONBF, 0);
#ifdef POSIX_FADV_SEQUENTIAL
    ::posix_fadvise(fileno(pFile), 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    CSha256 hash;
    // A block no larger than the file (one byte more, so that one read
    // meets its end): a release folder holds thousands of small files, and
    // a fresh zeroed megabyte for each cost more than hashing them (under
    // AddressSanitizer each one is also mapped and unmapped).
    std::error_code error;
    const std::uintmax_t nFileSize = std::filesystem::file_size(path, error);
    const std::size_t nBlock = error ? MAX_BLOCK : std::size_t(std::min<std::uintmax_t>(nFileSize + 1, MAX_BLOCK));
    const auto block = std::make_unique_for_overwrite<std::uint8_t[]>(nBlock);
    bool bOk = true;
    for (;;) {
        if (pStop && *pStop) {
            bOk = false;
            break;
        }
        const std::size_t nGot = std::fread(block.get(), 1, nBlock, pFile);
        hash.Update(block.get(), nGot);
        if (onRead)
            onRead(nGot);
        if (nGot < nBlock) {
            bOk = !std::ferror(pFile);
            break;
        }
    }
    std::fclose(pFile);
    const Sha256Digest digest = hash.Final();
    if (!bOk || !hash.IsOk())
        return std::nullopt;
    return digest;
}

bool VerifyEd25519(const Ed25519PublicKey& key, std::string_view message, const Ed25519Signature& signature)
{
    PKey pKey(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size()));
    MdCtx ctx(EVP_MD_CTX_new());
    if (!pKey || !ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, pKey.get()) != 1)
        return false;
    return EVP_DigestVerify(ctx.get(), signature.data(), signature.size(),
                            reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
}

std::optional<Ed25519KeyPair> GenerateEd25519()
{
    EVP_PKEY* pRaw = nullptr;
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr),
                                                                    &EVP_PKEY_CTX_free);
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_keygen(ctx.get(), &pRaw) != 1)
        return std::nullopt;
    PKey pKey(pRaw);
    std::unique_ptr<BIO, BioDeleter> bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), pKey.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return std::nullopt;
    char* pData = nullptr;
    const long nSize = BIO_get_mem_data(bio.get(), &pData);
    const auto publicKey = RawPublicKey(pKey.get());
    if (nSize <= 0 || !publicKey)
        return std::nullopt;
    return Ed25519KeyPair{std::string(pData, std::size_t(nSize)), *publicKey};
}

std::optional<Ed25519PublicKey> PublicKeyOf(std::string_view privatePem)
{
    const PKey pKey = ReadPrivateKey(privatePem);
    return pKey ? RawPublicKey(pKey.get()) : std::nullopt;
}

std::optional<Ed25519PublicKey> ParsePublicKey(std::string_view text)
{
    while (!text.empty() && std::string_view(" \t\r\n").find(text.front()) != std::string_view::npos)
        text.remove_prefix(1);
    while (!text.empty() && std::string_view(" \t\r\n").find(text.back()) != std::string_view::npos)
        text.remove_suffix(1);
    if (text.starts_with("-----BEGIN PUBLIC KEY-----")) {
        std::unique_ptr<BIO, BioDeleter> bio(BIO_new_mem_buf(text.data(), int(text.size())));
        const PKey pKey(bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr);
        if (!pKey || EVP_PKEY_get_id(pKey.get()) != EVP_PKEY_ED25519)
            return std::nullopt;
        return RawPublicKey(pKey.get());
    }
    const auto bytes = FromHex(text);
    Ed25519PublicKey key{};
    if (!bytes || bytes->size() != key.size())
        return std::nullopt;
    std::copy(bytes->begin(), bytes->end(), key.begin());
    return key;
}

std::optional<Ed25519Signature> SignEd25519(std::string_view privatePem, std::string_view message)
{
    const PKey pKey = ReadPrivateKey(privatePem);
    MdCtx ctx(EVP_MD_CTX_new());
    if (!pKey || !ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, pKey.get()) != 1)
        return std::nullopt;
    Ed25519Signature signature{};
    std::size_t nSize = signature.size();
    if (EVP_DigestSign(ctx.get(), signature.data(), &nSize, reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) != 1 ||
        nSize != signature.size())
        return std::nullopt;
    return signature;
}

} // namespace orvanta
