#include <cstring>

#include "common/path_buffer.h"
#include "tinyxml.h"
#include "watcher/watcher.h"
#include "watcher/xml_text.h"

namespace {

// The version text sits in the root's first child element; no name is checked.
const char* VersionText(const TiXmlDocument& document) {
  const TiXmlElement* root = document.FirstChildElement();
  if (root == nullptr) return nullptr;
  const TiXmlElement* version = root->FirstChildElement();
  return version == nullptr ? nullptr : version->GetText();
}

}  // namespace

bool IsUpdateAvailable(const std::string& documentText) {
  PathBuffer path;
  if (!JoinPath(path, g_appFolder, "version.xml")) return false;

  TiXmlDocument local;
  if (!LoadXmlFile(&local, path)) return false;
  const char* localVersion = VersionText(local);
  if (localVersion == nullptr) return false;

  TiXmlDocument remote;
  if (!ParseXmlText(&remote, documentText)) return false;
  const char* remoteVersion = VersionText(remote);
  if (remoteVersion == nullptr) return false;

  // Whole texts are compared: a stored document may carry a version of any
  // length, and comparing a cut-off prefix would report an update forever.
  return std::strcmp(localVersion, remoteVersion) != 0;
}
