// A stand-in for the updater in the helper's tests.
//   restart-probe [ARGUMENT ...]     writes "restarted.txt" in the current directory: the count,
//                                    then each argument on a line of its own
//   restart-probe --hold FILE SECS   holds FILE open without sharing (Windows) for SECS seconds;
//                                    prints "holding" once it does
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "services/files.h"
#include "services/text.h"

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--hold") {
    // Writing with no sharing: nobody may move or replace the file meanwhile on Windows.
    FileHandle held = FileHandle::CreateForWrite(AnsiToWide(argv[2]));
    if (held.IsOpen()) std::printf("holding\n");
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(std::atoi(argv[3])));
    return held.IsOpen() ? 0 : 1;
  }
  FileHandle out = FileHandle::CreateForWrite(L"restarted.txt");
  std::string text = "restarted with " + std::to_string(argc - 1) + " arguments\n";
  for (int i = 1; i < argc; ++i) text += std::string(argv[i]) + "\n";
  return out.Write(text.data(), text.size()) ? 0 : 1;
}
