// One JSON object per line for programs that read the console. The writer builds an object member by member
// from typed values, so whatever it is given it yields valid JSON: strings are escaped, bytes that are not
// UTF-8 are kept as the character of that byte (the updater's texts are 8-bit), numbers that are not finite
// become null.
#pragma once

#include <cstdint>
#include <string>

namespace app {

// `text` as a JSON string, quotes included. Valid UTF-8 sequences pass unchanged; every other byte becomes
// \u00XX, the Latin-1 character of that byte; control characters, the quote, the backslash and DEL are
// escaped.
std::string JsonString(const std::string& text);

class JsonObject {
 public:
  JsonObject& Add(const std::string& key, const std::string& value);
  JsonObject& Add(const std::string& key, const char* value);  // nullptr: null
  JsonObject& Add(const std::string& key, int64_t value);
  JsonObject& Add(const std::string& key, int value) { return Add(key, static_cast<int64_t>(value)); }
  JsonObject& Add(const std::string& key, uint32_t value) { return Add(key, static_cast<int64_t>(value)); }
  JsonObject& Add(const std::string& key, double value);  // not finite: null
  JsonObject& Add(const std::string& key, bool value);
  JsonObject& Add(const std::string& key, const JsonObject& value);
  JsonObject& AddNull(const std::string& key);
  // `json` as it is: a value made by another writer of valid JSON (an array of objects).
  JsonObject& AddRaw(const std::string& key, const std::string& json) { return Raw(key, json); }

  // The object on one line, without a line end.
  std::string Text() const { return body_ + "}"; }

 private:
  JsonObject& Raw(const std::string& key, const std::string& json);

  std::string body_ = "{";
};

}  // namespace app
