#include <climits>
#include <cstring>

#include "common/path_buffer.h"
#include "tinyxml.h"
#include "watcher/watcher.h"
#include "watcher/watcher_internal.h"
#include "watcher/xml_text.h"

namespace {

const std::int32_t kDefaultCheckInterval = 3600;  // an hour of passes
const std::int32_t kDefaultMarkerInterval = 10;

bool IsAsciiSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::int32_t ParseInterval(const char* text) {
  while (IsAsciiSpace(*text)) ++text;
  const bool negative = *text == '-';
  if (*text == '-' || *text == '+') ++text;
  // Accumulate towards the sign so that INT32_MIN itself is reachable.
  std::int64_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    const int digit = *text - '0';
    value = negative ? value * 10 - digit : value * 10 + digit;
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
  }
  return static_cast<std::int32_t>(value);
}

CheckOutcome LoadWatcherSettings(std::int32_t* checkInterval, std::int32_t* markerInterval,
                                 const char** encoding) {
  *checkInterval = kDefaultCheckInterval;
  *markerInterval = kDefaultMarkerInterval;

  PathBuffer path;
  if (!JoinPath(path, g_appFolder, "config.xml")) return CheckOutcome::kSettingsPathTooLong;

  TiXmlDocument document;
  XmlFileInfo file;
  const bool loaded = LoadXmlFile(&document, path, &file);
  if (encoding != nullptr) *encoding = file.encoding;
  if (!file.read) return CheckOutcome::kSettingsMissing;
  if (!loaded) return CheckOutcome::kSettingsNotXml;
  const TiXmlElement* root = document.FirstChildElement();
  if (root == nullptr) return CheckOutcome::kSettingsNoRoot;

  const TiXmlElement* setting = root->FirstChildElement();
  if (setting == nullptr) return CheckOutcome::kOk;
  if (const char* text = setting->GetText()) *checkInterval = ParseInterval(text);

  setting = setting->NextSiblingElement();
  if (setting == nullptr) return CheckOutcome::kOk;
  if (const char* text = setting->GetText()) *markerInterval = ParseInterval(text);

  setting = setting->NextSiblingElement();
  if (setting == nullptr) return CheckOutcome::kOk;
  // A URL that does not fit is refused whole; the previous address stays.
  if (const char* text = setting->GetText()) {
    if (std::strlen(text) < sizeof g_baseUrl) CopyPath(g_baseUrl, text);
  }
  return CheckOutcome::kOk;
}

void ReadWatcherSettings(std::int32_t* checkInterval, std::int32_t* markerInterval) {
  LoadWatcherSettings(checkInterval, markerInterval, nullptr);
}
