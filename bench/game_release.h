#pragma once
#include <string>

// The releases the generated game has.
constexpr int GAME_RELEASES = 16;

// Writes release number version (1 to GAME_RELEASES) of a generated game of about sizeMib MiB into dir, the
// way a real game changes from release to release: four pack files of records and compressed
// blobs, edited in place and with records inserted at every release; a video that moves to
// another folder in release 2; a folder of small files renamed in release 3; a few small files
// changed in each release. The same arguments always give the same bytes.
int WriteGameRelease(const std::string& dir, int version, long sizeMib);

// Writes two releases of one large pack file of about sizeMib MiB: records of text and
// compressed blobs; in the second, records edited in place and replaced, 5% of the bytes
// inserted as new records, and blocks of records moved. The same arguments give the same bytes.
int WritePackPair(const std::string& oldPath, const std::string& newPath, long sizeMib);
