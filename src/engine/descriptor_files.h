#pragma once
// The packed descriptors and lists that a run keeps in the installation, read within a bound and
// replaced in one step.
#include <cstdint>
#include <string>

// File lists of the largest installations pack a few MiB; a list or descriptor that unpacks past
// this is hostile (a small packed file can unpack to gigabytes) and is refused.
constexpr std::uint64_t DESCRIPTOR_MAX_BYTES = 64ULL << 20;

// Unpacks a descriptor or list, or its local cache, within the bound; the cause is logged.
bool UnpackDescriptor(const std::wstring& source, const std::wstring& destination);
// A packed list read straight into memory, bounded as UnpackDescriptor is.
bool UnpackDescriptorText(const std::wstring& source, std::string& text);
// Copies a file over another in one step: a reader finds the old copy or the new one, whole.
bool CopyReplacing(const std::wstring& source, const std::wstring& destination);
