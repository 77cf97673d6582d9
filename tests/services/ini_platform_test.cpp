// Windows only: our INI model against the platform's private-profile service, both ways.
#include <windows.h>

#include <gtest/gtest.h>

#include "services/ini_file.h"
#include "support/temp_folder.h"

namespace {

std::wstring PlatformRead(const std::wstring& file, const wchar_t* section, const wchar_t* key) {
  wchar_t buffer[2048];
  GetPrivateProfileStringW(section, key, L"", buffer, 2048, file.c_str());
  return buffer;
}

const wchar_t* const KEYS[][2] = {
    {L"ServerConfig", L"VersionName"}, {L"ServerConfig", L"UpdateFolder"}, {L"data\\th\u1eed.pak", L"Method"},
    {L"data\\th\u1eed.pak", L"CheckSum"}, {L"Quoted", L"q"}, {L"Quoted", L"spaced"}, {L"zepo", L"LogLevel"},
};
const wchar_t* const VALUES[] = {
    L"2.0.1", L"v2/", L"Patch", L"d41d8cd98f00b204e9800998ecf8427e", L"\"inner\"", L"  padded  ", L"4",
};

}  // namespace

TEST(IniPlatform, FilesWrittenByThePlatformReadTheSame) {
  TempFolder folder;
  const std::wstring file = folder / "platform.ini";
  // A UTF-16 file, so that the Vietnamese name survives the platform's writer.
  WriteBytes(folder.path() / "platform.ini", std::string("\xFF\xFE", 2));
  for (std::size_t i = 0; i < std::size(KEYS); ++i) {
    ASSERT_TRUE(WritePrivateProfileStringW(KEYS[i][0], KEYS[i][1], VALUES[i], file.c_str()));
  }
  for (const auto& key : KEYS) {
    std::wstring ours;
    ReadIniString(file, key[0], key[1], ours);
    EXPECT_EQ(ours, PlatformRead(file, key[0], key[1])) << key[0] << L"/" << key[1];
  }
}

TEST(IniPlatform, FilesWeWriteReadTheSameThroughThePlatform) {
  TempFolder folder;
  for (const char* start : {"", "\xFF\xFE"}) {
    const std::wstring file = folder / "ours.ini";
    WriteBytes(folder.path() / "ours.ini", start);
    for (std::size_t i = 0; i < std::size(KEYS); ++i) ASSERT_TRUE(WriteIniString(file, KEYS[i][0], KEYS[i][1], VALUES[i]));
    for (const auto& key : KEYS) {
      std::wstring ours;
      ReadIniString(file, key[0], key[1], ours);
      EXPECT_EQ(PlatformRead(file, key[0], key[1]), ours) << key[0] << L"/" << key[1];
    }
  }
}
