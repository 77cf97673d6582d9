#pragma once
// The POSIX stand-in for a program's own resources: the build links a table of byte arrays
// into each program that embeds files (see zepo_add_resources), and WriteResourceToFile looks
// them up by numeric id and type name, as the Windows build does in its resource section.
#include <cstddef>

struct EmbeddedResource {
  int id;
  const wchar_t* type;
  const unsigned char* data;
  std::size_t size;
};

struct EmbeddedResourceTable {
  const EmbeddedResource* entries;
  std::size_t count;
};

// Defined by the generated table of the program; an empty weak default stands in otherwise.
extern const EmbeddedResourceTable zepoEmbeddedResources;
