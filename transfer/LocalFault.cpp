#include "transfer/LocalFault.h"
#include "transfer/OpenFile.h"

#include <cerrno>
#include <cstdio>
#include <mutex>

namespace orvanta {
namespace {

constexpr std::uint64_t MB = 1024 * 1024;

std::mutex& QueryMutex()
{
    static std::mutex mutex;
    return mutex;
}

FreeSpaceQuery& Query()
{
    static FreeSpaceQuery query;
    return query;
}

std::string PathText(const std::filesystem::path& path)
{
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// Whole megabytes, rounded up: "1 MB more" must be enough.
std::string Megabytes(std::uint64_t nBytes)
{
    return std::to_string((nBytes + MB - 1) / MB);
}

} // namespace

FaultKind KindOf(const LocalFault& fault)
{
    const std::error_code& ec = fault.error;
    if (ec == std::errc::no_space_on_device)
        return FaultKind::DiskFull;
#ifdef EDQUOT
    if (ec == std::error_condition(EDQUOT, std::generic_category()))
        return FaultKind::DiskFull;
#endif
    if (ec == std::errc::permission_denied || ec == std::errc::operation_not_permitted ||
        ec == std::errc::read_only_file_system)
        return FaultKind::ReadOnly;
    if (ec == std::errc::filename_too_long)
        return FaultKind::NameTooLong;
    if (ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory)
        return FaultKind::NoFolder;
    if (ec == std::errc::io_error)
        return FaultKind::IoError;
    if (ec == std::errc::not_connected)
        return FaultKind::NotConnected;
    return FaultKind::Other;
}

const char* FaultName(FaultKind eKind)
{
    switch (eKind) {
    case FaultKind::DiskFull: return "disk-full";
    case FaultKind::ReadOnly: return "read-only";
    case FaultKind::NameTooLong: return "name-too-long";
    case FaultKind::NoFolder: return "no-folder";
    case FaultKind::IoError: return "io-error";
    case FaultKind::NotConnected: return "not-connected";
    case FaultKind::Other: break;
    }
    return "write-failed";
}

std::string FaultText(const LocalFault& fault, Language eLanguage)
{
    const bool bKorean = eLanguage == Language::Korean;
    const std::string path = PathText(fault.path);
    const std::string inParens = " (" + path + ")";
    switch (KindOf(fault)) {
    case FaultKind::DiskFull:
        if (fault.nNeeded == 0)
            return (bKorean ? "디스크 공간이 부족합니다" : "not enough disk space") + inParens;
        return bKorean ? "디스크 공간이 부족합니다: " + path + "에 " + Megabytes(fault.nNeeded) + " MB가 더 필요합니다"
                       : "not enough disk space: " + path + " needs " + Megabytes(fault.nNeeded) + " MB more";
    case FaultKind::ReadOnly:
        return (bKorean ? "쓰기 권한이 없습니다" : "no permission to write") + inParens;
    case FaultKind::NameTooLong:
        return (bKorean ? "파일 이름이 너무 깁니다" : "file name too long") + inParens;
    case FaultKind::NoFolder:
        return (bKorean ? "폴더가 없습니다" : "folder missing") + inParens;
    case FaultKind::IoError:
        return (bKorean ? "디스크 입출력 오류입니다" : "disk read/write error") + inParens;
    case FaultKind::NotConnected:
        return bKorean ? "FTP 서버에 연결되어 있지 않습니다" : "not connected to the FTP server";
    case FaultKind::Other:
        break;
    }
    return (bKorean ? "파일을 쓸 수 없습니다 (" : "cannot write (") + path + ": " + fault.error.message() + ")";
}

std::string RetryQuestion(std::string_view name, int nCode, const std::optional<LocalFault>& fault)
{
    std::string text(name);
#ifdef _WIN32
    (void)fault;
    text += " - " + std::to_string(nCode) + "오류";
#else
    text += " - " + (fault ? FaultText(*fault) : std::to_string(nCode) + "오류");
#endif
    return text + "\n다시 시도하시겠습니다";
}

std::error_code LastErrno()
{
    const int nErrno = errno;
    return nErrno != 0 ? std::error_code(nErrno, std::generic_category()) : std::make_error_code(std::errc::io_error);
}

std::error_code TouchFile(const std::filesystem::path& path)
{
    errno = 0;
    std::FILE* pFile = OpenFile(path, "ab");
    if (!pFile)
        return LastErrno();
    return std::fclose(pFile) == 0 ? std::error_code() : LastErrno();
}

void SetFreeSpaceQuery(FreeSpaceQuery query)
{
    std::lock_guard lock(QueryMutex());
    Query() = std::move(query);
}

std::optional<std::uint64_t> FreeSpace(const std::filesystem::path& folder)
{
    FreeSpaceQuery query;
    {
        std::lock_guard lock(QueryMutex());
        query = Query();
    }
    if (query)
        return query(folder);
    std::error_code ec;
    const std::filesystem::space_info info = std::filesystem::space(folder, ec);
    if (ec || info.available == static_cast<std::uintmax_t>(-1))
        return std::nullopt;
    return std::uint64_t(info.available);
}

std::optional<LocalFault> RoomFor(const std::filesystem::path& target, std::uint64_t nBytes)
{
    if (nBytes == 0)
        return std::nullopt;
    const auto nFree = FreeSpace(target.parent_path());
    if (!nFree || *nFree >= nBytes)
        return std::nullopt;
    return LocalFault{std::make_error_code(std::errc::no_space_on_device), target, nBytes - *nFree};
}

LocalFault WriteFault(std::error_code error, const std::filesystem::path& target, std::uint64_t nLeft)
{
    LocalFault fault{error, target, 0};
    if (KindOf(fault) == FaultKind::DiskFull) {
        const std::uint64_t nFree = FreeSpace(target.parent_path()).value_or(0);
        fault.nNeeded = nLeft > nFree ? nLeft - nFree : nLeft;
    }
    return fault;
}

} // namespace orvanta
