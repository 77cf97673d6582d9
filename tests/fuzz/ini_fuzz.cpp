// Any bytes as an INI file: parsing, listing and reading must not fail, and a value just written
// must read back, with every other section still listed.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "services/ini.h"
#include "services/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  IniDocument ini{std::string(reinterpret_cast<const char*>(data), size)};
  const auto names = ini.SectionNames();
  std::wstring value;
  for (const auto& name : names) ini.ReadString(name, L"Method", value);

  if (!ini.SetValue(L"ServerConfig", L"DateTime", L"20121105140309")) std::abort();
  if (!ini.ReadString(L"ServerConfig", L"DateTime", value) || value != L"20121105140309") std::abort();
  const auto after = ini.SectionNames();
  // Adding a section adds one name; a section that was there keeps the list as it was.
  bool had = false;
  for (const auto& name : names) had = had || EqualNoCase(name, L"ServerConfig");
  if (after.size() != names.size() + (had ? 0 : 1)) std::abort();
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (after[i] != names[i]) std::abort();
  }
  return 0;
}
