#pragma once
// Shared between the HTTP back ends and their portable part.
#include <cstdint>
#include <string>

#include "services/status_callback.h"

// The root that HasFreeDiskSpace is asked about for a failed write to localPath: the drive of
// the path ("C:\") or of the current directory on Windows, the file's folder on POSIX.
std::wstring DriveRootFor(const std::wstring& localPath);

// Code 2 when the drive of localPath has room for the chunk, else code 9.
int ClassifyWriteFailure(const std::wstring& localPath, std::uint64_t chunk);

// The start that every download shares: errorCode set to 0, the (0, 0) progress report that may
// cancel it (code 10), and a host that fits the Host header (else code 21). False stops it.
bool BeginDownload(IStatusCallback* callback, const std::wstring& host, int& errorCode);

// Bytes of one transfer chunk: reads from the network and writes to the file.
constexpr std::size_t HTTP_CHUNK = 65536;
