// Windows only, run under Wine by bench/run: the same file list read through the platform's
// private-profile service and through our INI model.
//   ini-platform-bench FILE SAMPLE
// The platform service needs about half a millisecond per read, so it reads the three keys of
// the first SAMPLE sections and the time is scaled to every section; ours reads them all.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "services/ini_file.h"
#include "services/text.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: ini-platform-bench FILE SAMPLE\n", argc == 2 ? stdout : stderr);
    return argc == 2 ? 0 : 2;
  }
  const std::wstring file = AnsiToWide(argv[1]);
  const std::size_t sample = static_cast<std::size_t>(std::atol(argv[2]));
  const wchar_t* const keys[] = {L"Method", L"DateTime", L"CheckSum"};

  auto start = std::chrono::steady_clock::now();
  IniDocument ini = LoadIniFile(file);
  const auto names = ini.SectionNames();
  std::wstring value;
  std::size_t found = 0;
  for (std::size_t i = 1; i < names.size(); ++i) {
    for (const wchar_t* key : keys) found += ini.ReadString(names[i], key, value);
  }
  const double ours = Seconds(start);

  start = std::chrono::steady_clock::now();
  wchar_t buffer[2048];
  std::size_t platformFound = 0;
  const std::size_t files = names.empty() ? 0 : names.size() - 1;
  const std::size_t count = sample < files ? sample : files;
  for (std::size_t i = 1; i <= count; ++i) {
    for (const wchar_t* key : keys) {
      platformFound += GetPrivateProfileStringW(names[i].c_str(), key, L"", buffer, 2048, file.c_str()) > 0;
    }
  }
  const double platform = Seconds(start) * static_cast<double>(files) / static_cast<double>(count);
  std::printf("sections %zu ours %.6f platform %.6f found %zu/%zu sampled %zu\n", files, ours, platform, found,
              platformFound, count);
  return found == 3 * files && platformFound == 3 * count ? 0 : 1;
}
