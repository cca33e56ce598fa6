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

CheckOutcome ReadStoredVersionText(const char* path, std::string* version) {
  TiXmlDocument local;
  XmlFileInfo file;
  if (!LoadXmlFile(&local, path, &file)) {
    return file.read ? CheckOutcome::kStoredNotXml : CheckOutcome::kStoredMissing;
  }
  const char* text = VersionText(local);
  if (text == nullptr) return CheckOutcome::kStoredNoVersion;
  *version = text;
  return CheckOutcome::kOk;
}

CheckOutcome ReadDocumentVersionText(const std::string& documentText, std::string* version) {
  TiXmlDocument remote;
  if (!ParseXmlText(&remote, documentText)) return CheckOutcome::kNotXml;
  const char* text = VersionText(remote);
  if (text == nullptr) return CheckOutcome::kNoVersion;
  *version = text;
  return CheckOutcome::kOk;
}

CheckOutcome CompareVersions(const char* storedPath, const std::string& documentText,
                             std::string* storedVersion, std::string* documentVersion) {
  std::string local;
  std::string remote;
  // The local file first: without a usable one the document is not parsed.
  CheckOutcome outcome = ReadStoredVersionText(storedPath, &local);
  if (outcome == CheckOutcome::kOk) outcome = ReadDocumentVersionText(documentText, &remote);
  // Whole texts are compared: a stored document may carry a version of any
  // length, and comparing a cut-off prefix would report an update forever.
  if (outcome == CheckOutcome::kOk && local == remote) outcome = CheckOutcome::kSameVersion;
  if (storedVersion != nullptr) *storedVersion = local;
  if (documentVersion != nullptr) *documentVersion = remote;
  return outcome;
}

CheckOutcome CompareWithStoredVersion(const std::string& documentText) {
  PathBuffer path;
  if (!JoinPath(path, g_appFolder, "version.xml")) return CheckOutcome::kStoredMissing;
  return CompareVersions(path, documentText, nullptr, nullptr);
}

bool IsUpdateAvailable(const std::string& documentText) {
  return CompareWithStoredVersion(documentText) == CheckOutcome::kOk;
}
