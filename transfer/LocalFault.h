#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

// Faults of the player's own disk, told apart from the network's: what the
// system said, of which path, and for a full disk how much is missing. A
// fault here is never mended by another connection or a reconnect. Qt-free.
namespace orvanta {

struct LocalFault {
    std::error_code error;
    // The file or folder the player can act on: the target, or the folder
    // that refused a new file; never one of the hidden temporary files.
    std::filesystem::path path;
    // A full disk: bytes more than the file system has free, 0 when unknown.
    std::uint64_t nNeeded = 0;
};

// NotConnected is no disk's: a transfer asked for with no connection in,
// which the retry question tells the same way.
enum class FaultKind { DiskFull, ReadOnly, NameTooLong, NoFolder, IoError, NotConnected, Other };
FaultKind KindOf(const LocalFault& fault);
// The name scripts read ("disk-full", "read-only", ...).
const char* FaultName(FaultKind eKind);

enum class Language { Korean, English };
// The cause and its path, as one line for a status line or a message box.
std::string FaultText(const LocalFault& fault, Language eLanguage = Language::Korean);

// The question when a file's transfer cannot be started: its cause and path,
// or on Windows the system's error code as the player's other programs show it.
std::string RetryQuestion(std::string_view name, int nCode, const std::optional<LocalFault>& fault);

// The error of errno as it stands, io_error when the call left none.
std::error_code LastErrno();

// Makes the file when missing, never truncates it; the system's error when
// it cannot be opened for writing.
std::error_code TouchFile(const std::filesystem::path& path);

// Bytes the caller may still write on the file system holding folder;
// nothing when it cannot be told. Tests replace the query (an empty one
// restores the real one); callable from any thread.
using FreeSpaceQuery = std::function<std::optional<std::uint64_t>(const std::filesystem::path& folder)>;
void SetFreeSpaceQuery(FreeSpaceQuery query);
std::optional<std::uint64_t> FreeSpace(const std::filesystem::path& folder);

// A disk-full fault for target when nBytes more do not fit beside what its
// folder's file system holds now; nothing when they fit or the free space
// cannot be told.
std::optional<LocalFault> RoomFor(const std::filesystem::path& target, std::uint64_t nBytes);

// A failed write of target with nLeft bytes still to come; a full disk is
// told with what it lacks.
LocalFault WriteFault(std::error_code error, const std::filesystem::path& target, std::uint64_t nLeft);

} // namespace orvanta
