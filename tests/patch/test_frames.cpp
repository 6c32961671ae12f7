// The frame reassembler, the records and CP949, as pure code: no socket,
// no window.
#include "patch/Cp949.h"
#include "patch/HttpSource.h"
#include "patch/PatchFrame.h"
#include "patch/Records.h"

#include <gtest/gtest.h>

#include <climits>
#include <numeric>

using namespace orvanta;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Frame(std::int32_t type, const Bytes& payload)
{
    return EncodeFrame(type, payload).value();
}

Bytes Pattern(std::size_t n, std::uint8_t seed)
{
    Bytes bytes(n);
    for (std::size_t i = 0; i < n; ++i)
        bytes[i] = std::uint8_t(seed + i * 7);
    return bytes;
}

Bytes LengthField(std::int32_t length)
{
    Bytes bytes(4);
    StoreLe32(bytes, std::uint32_t(length));
    return bytes;
}

} // namespace

TEST(FrameEncoding, HeaderIsLittleEndianLengthThenType)
{
    const Bytes frame = Frame(0x0A0B0C0D, {0xAA, 0xBB, 0xCC});
    const Bytes expected = {11, 0, 0, 0, 0x0D, 0x0C, 0x0B, 0x0A, 0xAA, 0xBB, 0xCC};
    EXPECT_EQ(frame, expected);

    Bytes field(4);
    StoreLe32(field, 0x01020304u);
    EXPECT_EQ(field, (Bytes{4, 3, 2, 1}));
    EXPECT_EQ(LoadLe32(Bytes{0xFF, 0xFF, 0xFF, 0xFF}), 0xFFFFFFFFu);
}

TEST(FrameEncoding, PayloadLimits)
{
    EXPECT_EQ(EncodeFrame(18, {})->size(), 8u);
    EXPECT_EQ(EncodeFrame(13, Bytes(FRAME_MAX_PAYLOAD))->size(), FRAME_MAX_SIZE);
    EXPECT_FALSE(EncodeFrame(13, Bytes(FRAME_MAX_PAYLOAD + 1)).has_value());
}

// A frame cut into pieces is whole exactly when its last byte is in, and no
// piece is taken past the frame's end.
TEST(FrameReassembler, PiecesOfEverySize)
{
    const Bytes payload = Pattern(FileEntry::SIZE, 3);
    const Bytes frame = Frame(FRAME_FILE_ENTRY, payload);
    const std::vector<std::vector<std::size_t>> cuts = {
        {1, 3},           // the length field split 1 + 3, then the rest
        {2, 2, 1, 3},     // the header in four pieces
        {4, 4},           // length, type, payload
        {5, 100, 300},    // the type split
        {frame.size() - 1},
        {},               // all at once
    };
    for (const auto& cut : cuts) {
        SCOPED_TRACE(::testing::PrintToString(cut));
        CFrameReassembler r;
        std::size_t nAt = 0;
        std::vector<std::size_t> pieces = cut;
        pieces.push_back(frame.size() - std::accumulate(cut.begin(), cut.end(), std::size_t(0)));
        for (std::size_t nPiece : pieces) {
            ASSERT_FALSE(r.HasFrame());
            EXPECT_LE(r.Wanted(), frame.size() - nAt);
            const std::span<const std::uint8_t> piece(frame.data() + nAt, nPiece);
            EXPECT_EQ(r.Feed(piece), nPiece);
            nAt += nPiece;
        }
        ASSERT_TRUE(r.HasFrame());
        EXPECT_EQ(r.Type(), FRAME_FILE_ENTRY);
        EXPECT_TRUE(std::equal(payload.begin(), payload.end(), r.Payload().begin(), r.Payload().end()));
        EXPECT_EQ(r.Wanted(), 0u);
        r.Release();
        EXPECT_FALSE(r.HasFrame());
        EXPECT_EQ(r.Wanted(), 4u);
    }
}

TEST(FrameReassembler, ByteByByteAsksForTheRestOnly)
{
    const Bytes frame = Frame(FRAME_SERVER_VERSION, EncodeInt32(5));
    CFrameReassembler r;
    const std::size_t expectedWanted[] = {4, 3, 2, 1, 8, 7, 6, 5, 4, 3, 2, 1};
    for (std::size_t i = 0; i < frame.size(); ++i) {
        EXPECT_EQ(r.Wanted(), expectedWanted[i]) << "before byte " << i;
        EXPECT_EQ(r.Feed(std::span(frame).subspan(i, 1)), 1u);
        EXPECT_EQ(r.HasFrame(), i + 1 == frame.size());
    }
    EXPECT_EQ(DecodeInt32(r.Payload()), 5);
}

TEST(FrameReassembler, TwoFramesInOnePieceComeOneAfterTheOther)
{
    Bytes stream = Frame(FRAME_SERVER_VERSION, EncodeInt32(7));
    const Bytes second = Frame(FRAME_GAME_SERVER, EncodeGameServerInfo({"host", 9}));
    stream.insert(stream.end(), second.begin(), second.end());

    CFrameReassembler r;
    std::span<const std::uint8_t> rest(stream);
    const std::size_t nFirst = r.Feed(rest);
    EXPECT_EQ(nFirst, 12u);
    ASSERT_TRUE(r.HasFrame());
    EXPECT_EQ(r.Type(), FRAME_SERVER_VERSION);
    // A waiting frame takes nothing more until it is released.
    EXPECT_EQ(r.Feed(rest.subspan(nFirst)), 0u);
    r.Release();
    EXPECT_EQ(r.Feed(rest.subspan(nFirst)), second.size());
    ASSERT_TRUE(r.HasFrame());
    EXPECT_EQ(r.Type(), FRAME_GAME_SERVER);
    EXPECT_EQ(DecodeGameServerInfo(r.Payload()), (GameServerInfo{"host", 9}));
}

TEST(FrameReassembler, EmptyPayloadIsWholeAtEightBytes)
{
    const Bytes frame = Frame(20, {});
    CFrameReassembler r;
    EXPECT_EQ(r.Feed(std::span(frame).first(4)), 4u);
    EXPECT_EQ(r.Wanted(), 4u);
    EXPECT_FALSE(r.HasFrame());
    EXPECT_EQ(r.Feed(std::span(frame).subspan(4)), 4u);
    ASSERT_TRUE(r.HasFrame());
    EXPECT_EQ(r.Type(), 20);
    EXPECT_TRUE(r.Payload().empty());
}

TEST(FrameReassembler, LengthsAtTheLimitsAreFrames)
{
    for (std::size_t nLength : {std::size_t(8), std::size_t(9), FRAME_MAX_SIZE}) {
        const Bytes frame = Frame(12, Pattern(nLength - 8, 1));
        CFrameReassembler r;
        EXPECT_EQ(r.Feed(frame), nLength);
        EXPECT_TRUE(r.HasFrame()) << nLength;
        EXPECT_EQ(r.Payload().size(), nLength - 8);
    }
}

// A length no frame can have breaks the stream for good; nothing past the
// length field is taken.
TEST(FrameReassembler, LengthOutOfRangeBreaksTheStream)
{
    for (std::int32_t nLength : {0, 1, 4, 7, 1025, 4096, -1, -8, INT_MIN, INT_MAX}) {
        SCOPED_TRACE(nLength);
        Bytes stream = LengthField(nLength);
        const Bytes junk = Pattern(2000, 9);
        stream.insert(stream.end(), junk.begin(), junk.end());
        CFrameReassembler r;
        EXPECT_EQ(r.Feed(std::span(stream).first(3)), 3u);
        EXPECT_FALSE(r.IsBroken());
        EXPECT_EQ(r.Feed(std::span(stream).subspan(3)), 1u);
        EXPECT_TRUE(r.IsBroken());
        EXPECT_EQ(r.BadLength(), nLength);
        EXPECT_FALSE(r.HasFrame());
        EXPECT_EQ(r.Wanted(), 0u);
        EXPECT_EQ(r.Feed(std::span(stream).subspan(4)), 0u);
        EXPECT_EQ(r.Feed(Frame(11, EncodeInt32(1))), 0u);
    }
}

TEST(FrameReassembler, NothingToReadBeforeAFrame)
{
    CFrameReassembler r;
    EXPECT_EQ(r.Type(), 0);
    EXPECT_TRUE(r.Payload().empty());
    r.Release();  // no frame: no effect
    EXPECT_EQ(r.Wanted(), 4u);
    EXPECT_EQ(r.Feed({}), 0u);
}

TEST(Records, RoundTrips)
{
    FileEntry entry;
    entry.folder = "data/\xB8\xCA";  // "맵" in CP949
    entry.name = "a.bin";
    entry.size = 0xFEDCBA98u;
    for (std::size_t i = 0; i < entry.reserved.size(); ++i)
        entry.reserved[i] = std::uint8_t(i + 1);
    const Bytes fileBytes = EncodeFileEntry(entry);
    ASSERT_EQ(fileBytes.size(), FileEntry::SIZE);
    EXPECT_EQ(DecodeFileEntry(fileBytes), entry);

    const FtpInfo ftp{"127.0.0.1:2121", "user", "secret"};
    const Bytes ftpBytes = EncodeFtpInfo(ftp);
    ASSERT_EQ(ftpBytes.size(), FtpInfo::SIZE);
    EXPECT_EQ(DecodeFtpInfo(ftpBytes), ftp);

    const GameServerInfo game{"game.example", -2};
    const Bytes gameBytes = EncodeGameServerInfo(game);
    ASSERT_EQ(gameBytes.size(), GameServerInfo::SIZE);
    EXPECT_EQ(DecodeGameServerInfo(gameBytes), game);

    for (std::int32_t n : {0, 1, -1, INT_MIN, INT_MAX, 0x12345678})
        EXPECT_EQ(DecodeInt32(EncodeInt32(n)), n);
}

TEST(Records, FieldsSitAtTheirOffsets)
{
    FileEntry entry;
    entry.folder = "F";
    entry.name = "N";
    entry.size = 0x01020304u;
    const Bytes file = EncodeFileEntry(entry);
    EXPECT_EQ(file[0], 'F');
    EXPECT_EQ(file[1], 0);
    EXPECT_EQ(file[256], 'N');
    EXPECT_EQ(file[257], 0);
    EXPECT_EQ((Bytes{file[512], file[513], file[514], file[515]}), (Bytes{4, 3, 2, 1}));

    const Bytes ftp = EncodeFtpInfo({"H", "U", "P"});
    EXPECT_EQ(ftp[0], 'H');
    EXPECT_EQ(ftp[100], 'U');
    EXPECT_EQ(ftp[150], 'P');

    const Bytes game = EncodeGameServerInfo({"A", 0x0708});
    EXPECT_EQ(game[0], 'A');
    EXPECT_EQ((Bytes{game[52], game[53], game[54], game[55]}), (Bytes{8, 7, 0, 0}));
    EXPECT_EQ(EncodeInt32(-2), (Bytes{0xFE, 0xFF, 0xFF, 0xFF}));
}

TEST(Records, ShortPayloadsGiveNothing)
{
    EXPECT_FALSE(DecodeFileEntry(Bytes(FileEntry::SIZE - 1, 'x')));
    EXPECT_FALSE(DecodeFtpInfo(Bytes(FtpInfo::SIZE - 1, 'x')));
    EXPECT_FALSE(DecodeGameServerInfo(Bytes(GameServerInfo::SIZE - 1, 'x')));
    EXPECT_FALSE(DecodeInt32(Bytes(3, 1)));
    EXPECT_FALSE(DecodeFileEntry({}));
    EXPECT_FALSE(DecodeFtpInfo({}));
    EXPECT_FALSE(DecodeGameServerInfo({}));
    EXPECT_FALSE(DecodeInt32({}));
    // Bytes past the record are not the record's.
    Bytes longer = EncodeInt32(42);
    longer.push_back(9);
    EXPECT_EQ(DecodeInt32(longer), 42);
    Bytes game = EncodeGameServerInfo({"g", 1});
    game.resize(300, 'z');
    EXPECT_EQ(DecodeGameServerInfo(game), (GameServerInfo{"g", 1}));
}

// A field with no NUL ends at the field's end, never in the next field.
TEST(Records, TextsWithoutNulEndAtTheirField)
{
    const auto file = DecodeFileEntry(Bytes(FileEntry::SIZE, 'A'));
    ASSERT_TRUE(file);
    EXPECT_EQ(file->folder, std::string(256, 'A'));
    EXPECT_EQ(file->name, std::string(256, 'A'));

    Bytes ftpBytes(FtpInfo::SIZE, 'h');
    std::fill(ftpBytes.begin() + 100, ftpBytes.begin() + 150, 'u');
    std::fill(ftpBytes.begin() + 150, ftpBytes.end(), 'p');
    const auto ftp = DecodeFtpInfo(ftpBytes);
    ASSERT_TRUE(ftp);
    EXPECT_EQ(ftp->host, std::string(100, 'h'));
    EXPECT_EQ(ftp->user, std::string(50, 'u'));
    EXPECT_EQ(ftp->password, std::string(50, 'p'));

    Bytes gameBytes(GameServerInfo::SIZE, 'g');
    StoreLe32(std::span(gameBytes).subspan(52, 4), 7777);
    const auto game = DecodeGameServerInfo(gameBytes);
    ASSERT_TRUE(game);
    EXPECT_EQ(game->address, std::string(52, 'g'));
    EXPECT_EQ(game->port, 7777);
}

TEST(Records, TextsStopAtTheFirstNul)
{
    Bytes gameBytes = EncodeGameServerInfo({"abc", 1});
    gameBytes[5] = 'x';  // after the NUL: not part of the text
    EXPECT_EQ(DecodeGameServerInfo(gameBytes)->address, "abc");
}

TEST(Records, EncodersCutTextsToLeaveTheirNul)
{
    FileEntry entry;
    entry.folder = std::string(300, 'f');
    entry.name = std::string(256, 'n');
    const Bytes file = EncodeFileEntry(entry);
    EXPECT_EQ(file[255], 0);
    EXPECT_EQ(file[511], 0);
    const auto decoded = DecodeFileEntry(file);
    EXPECT_EQ(decoded->folder, std::string(255, 'f'));
    EXPECT_EQ(decoded->name, std::string(255, 'n'));

    const Bytes game = EncodeGameServerInfo({std::string(60, 'g'), 5});
    EXPECT_EQ(DecodeGameServerInfo(game)->address, std::string(51, 'g'));
    EXPECT_EQ(DecodeGameServerInfo(game)->port, 5);

    const auto ftp = DecodeFtpInfo(EncodeFtpInfo({std::string(120, 'h'), std::string(60, 'u'), std::string(60, 'p')}));
    EXPECT_EQ(ftp->host.size(), 99u);
    EXPECT_EQ(ftp->user.size(), 49u);
    EXPECT_EQ(ftp->password.size(), 49u);
}

// Windows converts through its code page 949, elsewhere iconv does; both
// must agree on the bytes and on what is not exact.
TEST(Cp949, KoreanTravelsExactlyAndBadBytesAreMarked)
{
    bool bOk = false;
    const std::string bytes = "\xBE\xF7\xB5\xA5\xC0\xCC\xC6\xAE \xB0\x41.bin";  // extended area included
    EXPECT_EQ(Utf8ToCp949("업데이트 캚.bin", &bOk), bytes);
    EXPECT_TRUE(bOk);
    EXPECT_EQ(Cp949ToUtf8(bytes, &bOk), "업데이트 캚.bin");
    EXPECT_TRUE(bOk);
    EXPECT_EQ(Utf8ToCp949("", &bOk), "");
    EXPECT_TRUE(bOk);
    for (const std::string bad : {"a\xFF", "a\xC7"}) {
        EXPECT_FALSE(Cp949ToUtf8(bad, &bOk).empty());
        EXPECT_FALSE(bOk) << bad;
    }
    for (const std::string bad : {"a\xFF", "\xF0\x9F\x98\x80"}) {  // not UTF-8; not in CP949
        EXPECT_FALSE(Utf8ToCp949(bad, &bOk).empty());
        EXPECT_FALSE(bOk) << bad;
    }
}

// A base URL from the network reaches a request line and the log: only a
// plain http(s) URL is taken, and names are encoded segment by segment.
TEST(HttpSource, BaseIsCheckedAndNamesEncodedPerSegment)
{
    EXPECT_EQ(HttpSourceBase("HTTPS://cdn.example.com/orvanta"), "HTTPS://cdn.example.com/orvanta/");
    EXPECT_EQ(HttpSourceBase("http://127.0.0.1:8080/"), "http://127.0.0.1:8080/");
    for (const char* bad : {"", "ftp://host/", "https://", "https:///x", "https://:80/", "https://u:p@host/",
                            "https://host/a b", "https://host/?q", "https://host/#f", "https://host/a\r\nX: y",
                            "https://host/../etc", "https://host/\xed\x95\x9c"})
        EXPECT_FALSE(HttpSourceBase(bad)) << bad;
    EXPECT_FALSE(HttpSourceBase("https://host/" + std::string(400, 'a')));
    EXPECT_EQ(HttpSourceUrl("https://cdn/o/", 7, "data/소리/", "겨울 축제%.ogg"),
              "https://cdn/o/7/data/%EC%86%8C%EB%A6%AC/%EA%B2%A8%EC%9A%B8%20%EC%B6%95%EC%A0%9C%25.ogg");
    EXPECT_EQ(HttpSourceUrl("https://cdn/o/", 7, "", "a.bin"), "https://cdn/o/7/a.bin");
}
