#include "app/web/PagePayloads.h"

#include <emscripten.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "app/core/Json.h"
#include "payload/Buffers.h"
#include "payload/Builder.h"
#include "payload/Digest.h"
#include "payload/PageBuilder.h"
#include "payload/PageFile.h"
#include "payload/PayloadFile.h"
#include "payload/PayloadSizes.h"

namespace webapp {

namespace {

// clang-format off
EM_JS(char*, PagePristine, (), { return allocateUTF8(Module.braePage.pristine()); });
EM_JS(void, PageEmbedded, (const char* text), { Module.braePage.embedded(UTF8ToString(text)); });
EM_JS(void, PageOffer, (const char* name, const char* bytes, size_t n), {
  Module.braePage.offer(UTF8ToString(name), HEAPU8.slice(bytes, bytes + n), 'text/html');
});
EM_JS(void, PageEventText, (const char* line), { Module.braePage.event(UTF8ToString(line)); });
// clang-format on

std::string Pristine() {
  char* p = PagePristine();
  std::string s(p ? p : "");
  std::free(p);
  return s;
}

void Tell(const std::string& caption, const std::string& text) {
  app::JsonObject o;
  o.Add("v", 1).Add("event", "message").Add("caption", caption).Add("text", text);
  PageEventText(o.Text().c_str());
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

void LoadPagePayloads() {
  const payload::PagePayloads p = payload::ReadPagePayloads(Pristine());
  if (!p.Error.empty()) {
    Tell(payload::kMessageCaption, "This page's payloads can not be read: " + p.Error);
    return;
  }
  if (!p.HasFirmware && !p.HasLoader) return;
  // What does not fit its buffer stays out, and the start refuses it as a damaged copy by its digest.
  if (p.HasLoader) {
    payload::PlacePayload(payload::MutableLoaderBytes(), payload::kLoaderBufferSize, p.Loader.data(),
                          std::min(p.Loader.size(), payload::kLoaderBufferSize));
  }
  if (p.HasFirmware) {
    payload::PlacePayload(payload::MutableFirmwareBytes(), payload::kFirmwareBufferSize, p.Firmware.data(),
                          std::min(p.Firmware.size(), payload::kFirmwareBufferSize));
  }
  std::memcpy(payload::MutableDigestRecordBytes(), p.Digest.data(), p.Digest.size());
  std::string text = "This page carries";
  if (p.HasFirmware) text += " a firmware of " + std::to_string(p.Firmware.size()) + " bytes";
  if (p.HasFirmware && p.HasLoader) text += " and";
  if (p.HasLoader) text += " a loader of " + std::to_string(p.Loader.size()) + " bytes";
  PageEmbedded((text + ".").c_str());
}

void SaveCopy(const std::string& name, const std::string& firmwarePath, const std::string& loaderPath) {
  // The chosen files are held to what /w holds them to, with its messages.
  payload::PagePayload firmware, loader;
  std::string refusal;
  if (!firmwarePath.empty()) {
    firmware.Name = BaseName(firmwarePath);
    refusal = payload::ReadCopyPayload(payload::PayloadKind::kFirmware, firmwarePath, &firmware.Bytes);
  }
  if (refusal.empty() && !loaderPath.empty()) {
    loader.Name = BaseName(loaderPath);
    refusal = payload::ReadCopyPayload(payload::PayloadKind::kLoader, loaderPath, &loader.Bytes);
  }
  if (!refusal.empty()) return Tell(payload::kMessageCaption, refusal);
  payload::PageBuildResult result;
  if (!payload::BuildPage(Pristine(), firmwarePath.empty() ? nullptr : &firmware,
                          loaderPath.empty() ? nullptr : &loader, &result)) {
    return Tell(payload::kMessageCaption, result.Error);
  }
  std::string file = name;
  if (!payload::EndsWithHtml(file)) file += ".html";
  PageOffer(file.c_str(), result.Page.data(), result.Page.size());
}

}  // namespace webapp
