#pragma once
// The JSON objects that the command-line tools print for scripts (--json). They are small and
// flat, so they are composed as text: keys in the order they are added, numbers as they are.
#include <cstdint>
#include <string>
#include <vector>

// A UTF-8 text as a JSON string, quotes and control characters escaped.
std::string JsonString(const std::string& utf8);
// A text as a JSON string, or null when it is empty.
std::string JsonTextOrNull(const std::wstring& text);

class JsonObject {
 public:
  JsonObject& Text(const char* key, const std::string& utf8);
  JsonObject& Number(const char* key, std::uint64_t value);
  JsonObject& Seconds(const char* key, double seconds);  // three decimals
  JsonObject& Flag(const char* key, bool value);
  // A value that is JSON already: an object, an array, or null.
  JsonObject& Json(const char* key, const std::string& json);
  std::string Close() const { return "{" + body_ + "}"; }

 private:
  JsonObject& Add(const char* key, const std::string& json);
  std::string body_;
};

// Values that are JSON already, as an array.
std::string JsonArray(const std::vector<std::string>& items);
// Texts as an array of strings.
std::string JsonTexts(const std::vector<std::string>& utf8Texts);
