// libFuzzer target: the record decoders over arbitrary payloads. Texts never
// come out longer than their fields nor with a NUL inside, and a record
// survives encoding, except for a text that filled its whole field, which
// the encoder cuts by one byte to leave room for its NUL.
#include "patch/Cp949.h"
#include "patch/Manifest.h"
#include "patch/Records.h"
#include "transfer/Segments.h"

#include <cstdlib>

using namespace orvanta;

namespace {

template <typename Record, typename Decode, typename Encode>
void RoundTrip(std::span<const std::uint8_t> payload, Decode decode, Encode encode, std::size_t nSize)
{
    const std::optional<Record> record = decode(payload);
    if (record.has_value() != (payload.size() >= nSize))
        std::abort();
    if (!record)
        return;
    const std::vector<std::uint8_t> bytes = encode(*record);
    if (bytes.size() != nSize)
        std::abort();
    if (!decode(bytes))
        std::abort();
}

void CheckTextLimit(const std::string& text, std::size_t nField)
{
    if (text.size() > nField || text.find('\0') != std::string::npos)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> payload(data, size);

    // A signature file from the FTP server: whatever parses prints back to
    // the very bytes its signature covers.
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto signedFile = ParseSignatureFile(text)) {
        if (ManifestText(signedFile->manifest) != signedFile->message)
            std::abort();
        for (const FileEntry& entry : signedFile->manifest.entries) {
            CheckTextLimit(entry.folder, FileEntry::FOLDER_FIELD - 1);
            CheckTextLimit(entry.name, FileEntry::NAME_FIELD - 1);
        }
    }

    // A range record read back from the disk: sorted, apart, inside the
    // file, and printed back to itself.
    const Sha256Digest target{};
    if (const auto record = CRangeRecord::Parse(text, 1u << 30, target)) {
        std::uint64_t nAt = 0;
        for (const ByteRange& range : record->Ranges()) {
            if (range.nFrom < nAt || range.nFrom >= range.nTo || range.nTo > record->Size())
                std::abort();
            nAt = range.nTo + 1;
        }
        const auto again = CRangeRecord::Parse(record->Serialize(target), 1u << 30, target);
        if (!again || again->Ranges() != record->Ranges())
            std::abort();
    }

    if (const auto entry = DecodeFileEntry(payload)) {
        CheckTextLimit(entry->folder, FileEntry::FOLDER_FIELD);
        CheckTextLimit(entry->name, FileEntry::NAME_FIELD);
        const auto again = DecodeFileEntry(EncodeFileEntry(*entry));
        if (again->size != entry->size || again->reserved != entry->reserved)
            std::abort();
        if (entry->folder.size() < FileEntry::FOLDER_FIELD && again->folder != entry->folder)
            std::abort();
        // The game's texts are CP949; whatever the bytes, conversion stays well formed.
        Cp949ToUtf8(entry->name);
    }
    if (const auto ftp = DecodeFtpInfo(payload)) {
        CheckTextLimit(ftp->host, FtpInfo::HOST_FIELD);
        CheckTextLimit(ftp->user, FtpInfo::USER_FIELD);
        CheckTextLimit(ftp->password, FtpInfo::PASSWORD_FIELD);
        const auto again = DecodeFtpInfo(EncodeFtpInfo(*ftp));
        if (ftp->user.size() < FtpInfo::USER_FIELD && again->user != ftp->user)
            std::abort();
    }
    if (const auto game = DecodeGameServerInfo(payload)) {
        CheckTextLimit(game->address, GameServerInfo::ADDRESS_FIELD);
        const auto again = DecodeGameServerInfo(EncodeGameServerInfo(*game));
        if (again->port != game->port)
            std::abort();
        if (game->address.size() < GameServerInfo::ADDRESS_FIELD && again->address != game->address)
            std::abort();
        Cp949ToUtf8(game->address);
    }
    if (const auto n = DecodeInt32(payload)) {
        if (DecodeInt32(EncodeInt32(*n)) != *n)
            std::abort();
    }
    RoundTrip<FileEntry>(payload, DecodeFileEntry, EncodeFileEntry, FileEntry::SIZE);
    RoundTrip<FtpInfo>(payload, DecodeFtpInfo, EncodeFtpInfo, FtpInfo::SIZE);
    RoundTrip<GameServerInfo>(payload, DecodeGameServerInfo, EncodeGameServerInfo, GameServerInfo::SIZE);
    return 0;
}
