// The steps the scenarios share: documents to serve, what the service
// wrote, its checks counted at the server, a restart, a cleared marker.
// clang-format off
#include <windows.h>
// clang-format on

#include "selftest/scenario_steps.h"

#include <string>

#include "selftest/http_server.h"
#include "selftest/kit_pc.h"
#include "selftest/kit_report.h"
#include "selftest/scenarios.h"
#include "shortcut/shortcut.h"

namespace {

int s_nextVersion = 2;

}  // namespace

std::string VersionDocument(const std::string& version) {
  return "<?xml version=\"1.0\"?>\r\n<version><v>" + version + "</v></version>\r\n";
}

void ServeStoredDocument() { SetServedDocument(ReadBytes(ServiceFile("version.xml"))); }

std::string NextDocument() { return VersionDocument(std::to_string(s_nextVersion++) + ".0"); }

std::string Url(int port) {
  return "http://127.0.0.1:" + std::to_string(port) + "/doc/desktop.xml";
}

std::wstring Wide(const std::string& text) {
  wchar_t wide[MAX_PATH * 2];
  return MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide, MAX_PATH * 2) > 0 ? wide : L"";
}

// The icon the shortcut file names.
bool LinkShowsIcon(const char* icon) {
  ShortcutFields fields;
  return ReadShortcut(Wide(g_kit.link).c_str(), &fields) &&
         SameShortcutPath(fields.icon, Wide(ServiceFile(icon)));
}

// What is missing of an update that landed; empty when nothing is.
std::string UpdateMissing(const std::string& document) {
  std::string missing;
  const std::string marker = ReadBytes(ServiceFile("update.ini"));
  if (marker != "0") {
    std::string shown = marker.substr(0, 16);
    for (char& c : shown) {
      if (c < 0x20 || c > 0x7E) c = '?';
    }
    missing = "update.ini holds \"" + shown + "\", not \"0\"";
  }
  if (ReadBytes(ServiceFile("version.xml")) != document) {
    missing += (missing.empty() ? "" : "; ") + std::string("version.xml is not the document");
  }
  if (!LinkShowsIcon("update.ico")) {
    missing += (missing.empty() ? "" : "; ") + std::string("the shortcut does not show update.ico");
  }
  return missing;
}

bool WaitForUpdate(const std::string& document, std::string* missing) {
  const bool landed = WaitFor([&] { return UpdateMissing(document).empty(); }, kLandingBoundMs);
  *missing = UpdateMissing(document);
  return landed && missing->empty();
}

Snapshot TakeSnapshot() {
  Snapshot snapshot;
  snapshot.times[0] = LastWrite(g_kit.link);
  snapshot.times[1] = LastWrite(ServiceFile("version.xml"));
  snapshot.times[2] = LastWrite(ServiceFile("update.ini"));
  snapshot.times[3] = LastWrite(ServiceFile("regist.ini"));
  return snapshot;
}

bool WaitForChecks(long count, DWORD boundMs, int port) {
  const long until = DocumentRequests(port) + count;
  return WaitFor([until, port] { return DocumentRequests(port) >= until; }, boundMs);
}

bool Restart() {
  RunServiceSwitch("-stop");
  if (!WaitForServiceState(SERVICE_STOPPED, 30000)) return false;
  RunServiceSwitch("-start");
  return WaitForServiceState(SERVICE_RUNNING, 60000);
}

// The PC with no update pending and the normal icon.
bool ClearMarker() {
  WriteBytes(ServiceFile("update.ini"), "1");
  return WaitFor([] { return LinkShowsIcon("normal.ico"); }, kNormalIconBoundMs);
}

// What was written since before, by name; empty when nothing was.
std::string WrittenSince(const Snapshot& before) {
  const Snapshot after = TakeSnapshot();
  const char* const names[] = {"Vexlo.lnk", "version.xml", "update.ini", "regist.ini"};
  std::string written;
  for (int i = 0; i < 4; ++i) {
    if (after.times[i] != before.times[i]) {
      written += (written.empty() ? "" : ", ") + std::string(names[i]);
    }
  }
  return written;
}

void ReportQuiet(const char* label, const Snapshot& before, bool checked, const char* what) {
  const std::string written = WrittenSince(before);
  const bool running = ServiceState() == SERVICE_RUNNING;
  const bool quiet = written.empty() && running;
  Report(label, checked && quiet ? Verdict::kPass : Verdict::kFail, "%s%s",
         !checked  ? "the service made no further check"
         : quiet   ? what
         : running ? "written meanwhile: "
                   : "the service stopped",
         checked && running && !quiet ? written.c_str() : "");
}
