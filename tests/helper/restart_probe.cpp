// A stand-in for the updater in the helper's tests.
//   restart-probe [ARGUMENT ...]     writes "restarted.txt" in the current directory: the count,
//                                    then each argument on a line of its own
//   restart-probe --hold FILE SECS   holds FILE open for reading without sharing (Windows) for SECS
//                                    seconds, as a virus scanner does; prints "holding" once it does
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

#include "services/files.h"
#include "services/text.h"

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--hold") {
#ifdef _WIN32
    // Read with no sharing: nobody may read, move, replace or remove the file meanwhile, and
    // its content stays as it was.
    HANDLE held = CreateFileW(AnsiToWide(argv[2]).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) return 1;
    std::printf("holding\n");
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(std::atoi(argv[3])));
    CloseHandle(held);
    return 0;
#else
    return 2;  // POSIX has no mandatory sharing to hold a file with
#endif
  }
  FileHandle out = FileHandle::CreateForWrite(L"restarted.txt");
  std::string text = "restarted with " + std::to_string(argc - 1) + " arguments\n";
  for (int i = 1; i < argc; ++i) text += std::string(argv[i]) + "\n";
  return out.Write(text.data(), text.size()) ? 0 : 1;
}
