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

void ReadWatcherSettings(std::int32_t* checkInterval, std::int32_t* markerInterval) {
  *checkInterval = kDefaultCheckInterval;
  *markerInterval = kDefaultMarkerInterval;

  PathBuffer path;
  if (!JoinPath(path, g_appFolder, "config.xml")) return;

  TiXmlDocument document;
  if (!LoadXmlFile(&document, path)) return;
  const TiXmlElement* root = document.FirstChildElement();
  if (root == nullptr) return;

  const TiXmlElement* setting = root->FirstChildElement();
  if (setting == nullptr) return;
  if (const char* text = setting->GetText()) *checkInterval = ParseInterval(text);

  setting = setting->NextSiblingElement();
  if (setting == nullptr) return;
  if (const char* text = setting->GetText()) *markerInterval = ParseInterval(text);

  setting = setting->NextSiblingElement();
  if (setting == nullptr) return;
  // A URL that does not fit is refused whole; the previous address stays.
  if (const char* text = setting->GetText()) {
    if (std::strlen(text) < sizeof g_baseUrl) CopyPath(g_baseUrl, text);
  }
}
