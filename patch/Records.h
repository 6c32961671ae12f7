#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// Records of the patch-server protocol. Texts are the CP949 bytes of their
// fixed-width field, cut at the first NUL or at the field's end.
namespace orvanta {

enum FrameType : std::int32_t {
    FRAME_CLIENT_VERSION = 10,
    FRAME_SERVER_VERSION = 11,
    FRAME_FILE_ENTRY = 13,
    FRAME_FTP_INFO = 14,
    FRAME_UPDATE_DONE = 16,
    FRAME_UP_TO_DATE = 18,
    FRAME_GAME_SERVER = 19,
    // Ours: where the release may also be fetched over HTTP(S), before frame
    // 14. Updaters that know nothing of it ignore it, as they ignore every
    // type outside 11 to 19.
    FRAME_HTTP_SOURCE = 21,
};

struct FileEntry {
    static constexpr std::size_t SIZE = 568;
    static constexpr std::size_t FOLDER_FIELD = 256;
    static constexpr std::size_t NAME_FIELD = 256;
    static constexpr std::size_t RESERVED_FIELD = 52;

    std::string folder;  // "/"-separated, relative to the release root
    std::string name;
    std::uint32_t size = 0;
    std::array<std::uint8_t, RESERVED_FIELD> reserved{};

    bool operator==(const FileEntry&) const = default;
};

struct FtpInfo {
    static constexpr std::size_t SIZE = 200;
    static constexpr std::size_t HOST_FIELD = 100;
    static constexpr std::size_t USER_FIELD = 50;
    static constexpr std::size_t PASSWORD_FIELD = 50;

    std::string host;  // may carry ":port", or "[v6]:port"
    std::string user;
    std::string password;

    bool operator==(const FtpInfo&) const = default;
};

struct GameServerInfo {
    static constexpr std::size_t SIZE = 56;
    static constexpr std::size_t ADDRESS_FIELD = 52;

    std::string address;
    std::int32_t port = 0;

    bool operator==(const GameServerInfo&) const = default;
};

struct HttpSourceInfo {
    static constexpr std::size_t SIZE = 512;
    static constexpr std::size_t URL_FIELD = 512;

    std::string url;  // ASCII

    bool operator==(const HttpSourceInfo&) const = default;
};

// Decoders return nothing when the payload is shorter than the record;
// bytes past the record are ignored.
std::optional<FileEntry> DecodeFileEntry(std::span<const std::uint8_t> payload);
std::optional<FtpInfo> DecodeFtpInfo(std::span<const std::uint8_t> payload);
std::optional<GameServerInfo> DecodeGameServerInfo(std::span<const std::uint8_t> payload);
std::optional<HttpSourceInfo> DecodeHttpSourceInfo(std::span<const std::uint8_t> payload);
std::optional<std::int32_t> DecodeInt32(std::span<const std::uint8_t> payload);

// Encoders write texts NUL-terminated and cut to their field less one byte.
std::vector<std::uint8_t> EncodeFileEntry(const FileEntry& entry);
std::vector<std::uint8_t> EncodeFtpInfo(const FtpInfo& info);
std::vector<std::uint8_t> EncodeGameServerInfo(const GameServerInfo& info);
std::vector<std::uint8_t> EncodeHttpSourceInfo(const HttpSourceInfo& info);
std::vector<std::uint8_t> EncodeInt32(std::int32_t value);

} // namespace orvanta
