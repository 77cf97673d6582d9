#include "services/json.h"

#include <cstdio>

#include "services/text.h"

std::string JsonString(const std::string& utf8) {
  std::string out = "\"";
  for (const unsigned char c : utf8) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

JsonObject& JsonObject::Add(const char* key, const std::string& json) {
  if (!body_.empty()) body_ += ", ";
  body_ += JsonString(key) + ": " + json;
  return *this;
}

JsonObject& JsonObject::Text(const char* key, const std::string& utf8) { return Add(key, JsonString(utf8)); }

JsonObject& JsonObject::Number(const char* key, std::uint64_t value) { return Add(key, std::to_string(value)); }

JsonObject& JsonObject::Seconds(const char* key, double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", seconds);
  return Add(key, text);
}

JsonObject& JsonObject::Flag(const char* key, bool value) { return Add(key, value ? "true" : "false"); }

JsonObject& JsonObject::Json(const char* key, const std::string& json) { return Add(key, json); }

std::string JsonArray(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) out += (i > 0 ? ", " : "") + items[i];
  return out + "]";
}

std::string JsonTexts(const std::vector<std::string>& utf8Texts) {
  std::vector<std::string> items;
  for (const std::string& text : utf8Texts) items.push_back(JsonString(text));
  return JsonArray(items);
}

std::string JsonTextOrNull(const std::wstring& text) { return text.empty() ? "null" : JsonString(WideToUtf8(text)); }
