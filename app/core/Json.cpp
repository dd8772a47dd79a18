#include "app/core/Json.h"

#include <cmath>
#include <cstdio>

#include "toolkit/text/JsonString.h"

namespace app {

std::string JsonString(const std::string& text) {
  return tk::JsonString(text, {tk::JsonStringStyle::NotUtf8::Latin1, true});
}

JsonObject& JsonObject::Raw(const std::string& key, const std::string& json) {
  if (body_.size() > 1) body_ += ",";
  body_ += JsonString(key);
  body_ += ":";
  body_ += json;
  return *this;
}

JsonObject& JsonObject::Add(const std::string& key, const std::string& value) {
  return Raw(key, JsonString(value));
}

JsonObject& JsonObject::Add(const std::string& key, const char* value) {
  return value ? Raw(key, JsonString(value)) : AddNull(key);
}

JsonObject& JsonObject::Add(const std::string& key, int64_t value) {
  return Raw(key, std::to_string(value));
}

JsonObject& JsonObject::Add(const std::string& key, double value) {
  if (!std::isfinite(value)) return AddNull(key);
  char buf[32];
  // Fifteen significant digits; never a locale's decimal comma.
  std::snprintf(buf, sizeof buf, "%.15g", value);
  std::string text = buf;
  for (char& ch : text) {
    if (ch == ',') ch = '.';
  }
  return Raw(key, text);
}

JsonObject& JsonObject::Add(const std::string& key, bool value) {
  return Raw(key, value ? "true" : "false");
}

JsonObject& JsonObject::Add(const std::string& key, const JsonObject& value) {
  return Raw(key, value.Text());
}

JsonObject& JsonObject::AddNull(const std::string& key) {
  return Raw(key, "null");
}

}  // namespace app
