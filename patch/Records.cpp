#include "patch/Records.h"

#include "patch/PatchFrame.h"

#include <algorithm>
#include <cstring>

namespace orvanta {
namespace {

using Bytes = std::span<const std::uint8_t>;

// A text field ends at its first NUL, or at the field's end when the peer
// left no NUL in it.
std::string ReadText(Bytes field)
{
    const auto end = std::find(field.begin(), field.end(), std::uint8_t(0));
    return std::string(field.begin(), end);
}

// Writes the text cut to the field less one byte, so a NUL always follows;
// the rest of the field stays zero.
void WriteText(std::span<std::uint8_t> field, const std::string& text)
{
    const std::size_t n = std::min(text.size(), field.size() - 1);
    std::memcpy(field.data(), text.data(), n);
}

} // namespace

std::optional<FileEntry> DecodeFileEntry(Bytes payload)
{
    if (payload.size() < FileEntry::SIZE)
        return std::nullopt;
    FileEntry entry;
    entry.folder = ReadText(payload.subspan(0, FileEntry::FOLDER_FIELD));
    entry.name = ReadText(payload.subspan(FileEntry::FOLDER_FIELD, FileEntry::NAME_FIELD));
    const std::size_t nSizeAt = FileEntry::FOLDER_FIELD + FileEntry::NAME_FIELD;
    entry.size = LoadLe32(payload.subspan(nSizeAt, 4));
    const Bytes reserved = payload.subspan(nSizeAt + 4, FileEntry::RESERVED_FIELD);
    std::copy(reserved.begin(), reserved.end(), entry.reserved.begin());
    return entry;
}

std::optional<FtpInfo> DecodeFtpInfo(Bytes payload)
{
    if (payload.size() < FtpInfo::SIZE)
        return std::nullopt;
    FtpInfo info;
    info.host = ReadText(payload.subspan(0, FtpInfo::HOST_FIELD));
    info.user = ReadText(payload.subspan(FtpInfo::HOST_FIELD, FtpInfo::USER_FIELD));
    info.password = ReadText(payload.subspan(FtpInfo::HOST_FIELD + FtpInfo::USER_FIELD, FtpInfo::PASSWORD_FIELD));
    return info;
}

std::optional<HttpSourceInfo> DecodeHttpSourceInfo(Bytes payload)
{
    if (payload.size() < HttpSourceInfo::SIZE)
        return std::nullopt;
    return HttpSourceInfo{ReadText(payload.subspan(0, HttpSourceInfo::URL_FIELD))};
}

std::vector<std::uint8_t> EncodeHttpSourceInfo(const HttpSourceInfo& info)
{
    std::vector<std::uint8_t> out(HttpSourceInfo::SIZE, 0);
    WriteText(std::span<std::uint8_t>(out).subspan(0, HttpSourceInfo::URL_FIELD), info.url);
    return out;
}

std::optional<GameServerInfo> DecodeGameServerInfo(Bytes payload)
{
    if (payload.size() < GameServerInfo::SIZE)
        return std::nullopt;
    GameServerInfo info;
    info.address = ReadText(payload.subspan(0, GameServerInfo::ADDRESS_FIELD));
    info.port = std::int32_t(LoadLe32(payload.subspan(GameServerInfo::ADDRESS_FIELD, 4)));
    return info;
}

std::optional<std::int32_t> DecodeInt32(Bytes payload)
{
    if (payload.size() < 4)
        return std::nullopt;
    return std::int32_t(LoadLe32(payload.first(4)));
}

std::vector<std::uint8_t> EncodeFileEntry(const FileEntry& entry)
{
    std::vector<std::uint8_t> out(FileEntry::SIZE, 0);
    const std::span<std::uint8_t> record(out);
    WriteText(record.subspan(0, FileEntry::FOLDER_FIELD), entry.folder);
    WriteText(record.subspan(FileEntry::FOLDER_FIELD, FileEntry::NAME_FIELD), entry.name);
    const std::size_t nSizeAt = FileEntry::FOLDER_FIELD + FileEntry::NAME_FIELD;
    StoreLe32(record.subspan(nSizeAt, 4), entry.size);
    std::copy(entry.reserved.begin(), entry.reserved.end(), out.begin() + std::ptrdiff_t(nSizeAt + 4));
    return out;
}

std::vector<std::uint8_t> EncodeFtpInfo(const FtpInfo& info)
{
    std::vector<std::uint8_t> out(FtpInfo::SIZE, 0);
    const std::span<std::uint8_t> record(out);
    WriteText(record.subspan(0, FtpInfo::HOST_FIELD), info.host);
    WriteText(record.subspan(FtpInfo::HOST_FIELD, FtpInfo::USER_FIELD), info.user);
    WriteText(record.subspan(FtpInfo::HOST_FIELD + FtpInfo::USER_FIELD, FtpInfo::PASSWORD_FIELD), info.password);
    return out;
}

std::vector<std::uint8_t> EncodeGameServerInfo(const GameServerInfo& info)
{
    std::vector<std::uint8_t> out(GameServerInfo::SIZE, 0);
    const std::span<std::uint8_t> record(out);
    WriteText(record.subspan(0, GameServerInfo::ADDRESS_FIELD), info.address);
    StoreLe32(record.subspan(GameServerInfo::ADDRESS_FIELD, 4), std::uint32_t(info.port));
    return out;
}

std::vector<std::uint8_t> EncodeInt32(std::int32_t value)
{
    std::vector<std::uint8_t> out(4, 0);
    StoreLe32(out, std::uint32_t(value));
    return out;
}

} // namespace orvanta
