#pragma once

#include "patch/Digest.h"
#include "patch/Manifest.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// SHA-256 and Ed25519 through OpenSSL's libcrypto: the updater checks what
// it installs, the publisher's tool signs what it releases. No Qt here, so
// the tools link it alone.
namespace orvanta {

using Ed25519PublicKey = std::array<std::uint8_t, 32>;

// A running SHA-256. Not copyable; Reset starts over.
class CSha256 final {
public:
    CSha256();
    ~CSha256();
    CSha256(const CSha256&) = delete;
    CSha256& operator=(const CSha256&) = delete;

    void Reset();
    void Update(std::span<const std::uint8_t> bytes);
    void Update(const void* pData, std::size_t nSize);
    Sha256Digest Final();  // then Reset before reuse
    bool IsOk() const { return m_bOk; }

private:
    struct Context;
    std::unique_ptr<Context> m_pContext;
    bool m_bOk = false;
};

// The SHA-256 of a whole file, read in large blocks; nothing when it
// cannot be read or pStop, polled between blocks, turns true. onRead, when
// given, hears of each block's bytes as they are hashed (a check's
// progress).
std::optional<Sha256Digest> Sha256OfFile(const std::filesystem::path& path, const std::atomic<bool>* pStop = nullptr,
                                         const std::function<void(std::size_t)>& onRead = {});

bool VerifyEd25519(const Ed25519PublicKey& key, std::string_view message, const Ed25519Signature& signature);

// The publisher's side. Keys travel as PEM (PKCS#8) text.
struct Ed25519KeyPair {
    std::string privatePem;
    Ed25519PublicKey publicKey{};
};
std::optional<Ed25519KeyPair> GenerateEd25519();
std::optional<Ed25519PublicKey> PublicKeyOf(std::string_view privatePem);
std::optional<Ed25519Signature> SignEd25519(std::string_view privatePem, std::string_view message);

// A public key as a publisher keeps it: the 64 hexadecimal digits keygen
// writes (blanks and line ends around them allowed), or a PEM public key.
std::optional<Ed25519PublicKey> ParsePublicKey(std::string_view text);

} // namespace orvanta
