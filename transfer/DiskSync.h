#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>

// Getting written files onto the disk, so that they outlive a power cut.
// Each call may take a while on a busy disk: never on the window's thread.
namespace orvanta {

// Whether SyncFolderTree syncs everything written under a folder in one
// call. Linux: syncfs() on the folder's file system. Windows has no such
// call (only FlushFileBuffers per open file), so there every file is synced
// on its own before it replaces its target.
#ifdef __linux__
inline constexpr bool SYNC_FOLDER_TREE_SUPPORTED = true;
#else
inline constexpr bool SYNC_FOLDER_TREE_SUPPORTED = false;
#endif

// The file's data on disk (fdatasync; FlushFileBuffers on Windows).
bool SyncFileData(const std::filesystem::path& path);

// Starts writing a range of an open file to the disk without waiting for
// it, so that the SyncFileData at the end of a large file has little left
// to wait for: the disk works while the network still delivers. Does
// nothing where the system has no such call.
void StartWriteback(std::FILE* pFile, std::uint64_t nFrom, std::uint64_t nBytes);

// Everything written so far on the file system that holds the folder, file
// contents and renames alike. False where unsupported or failed.
bool SyncFolderTree(const std::filesystem::path& folder);

} // namespace orvanta
