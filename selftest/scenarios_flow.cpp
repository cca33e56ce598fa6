// What the service does on the PC: the update and the normal icon, the
// steady state, answers that change nothing, its own files, signed
// documents and the proxy list.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include <string>

#include "selftest/http_server.h"
#include "selftest/kit_report.h"
#include "selftest/scenarios.h"
#include "selftest/kit_pc.h"
#include "shortcut/shortcut.h"

namespace {

const DWORD kUpdateBoundMs = 60000;
int s_nextVersion = 2;

std::string NextDocument() { return VersionDocument(std::to_string(s_nextVersion++) + ".0"); }

std::wstring Wide(const std::string& text) {
  wchar_t wide[MAX_PATH * 2];
  return MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide, MAX_PATH * 2) > 0 ? wide : L"";
}

bool SamePath(const std::wstring& a, const std::string& b) {
  return CompareStringOrdinal(a.c_str(), -1, Wide(b).c_str(), -1, TRUE) == CSTR_EQUAL;
}

// The icon the shortcut file names.
bool LinkShowsIcon(const char* icon) {
  ShortcutFields fields;
  return ReadShortcut(Wide(g_kit.link).c_str(), &fields) &&
         SamePath(fields.icon, ServiceFile(icon));
}

// The icon the shell itself gives the desktop item.
void ReportShellIcon(const char* label, const char* icon) {
  SHFILEINFOW info = {};
  if (SHGetFileInfoW(Wide(g_kit.link).c_str(), 0, &info, sizeof info, SHGFI_ICONLOCATION) == 0 ||
      info.szDisplayName[0] == L'\0') {
    Report(label, Verdict::kNotShown, "the shell gives no icon location for the item here");
    return;
  }
  const bool same = SamePath(info.szDisplayName, ServiceFile(icon));
  Report(label, same ? Verdict::kPass : Verdict::kFail, "the shell shows %s",
         same ? icon : "another icon");
}

bool UpdateLanded(const std::string& document) {
  return ReadBytes(ServiceFile("update.ini")) == "0" &&
         ReadBytes(ServiceFile("version.xml")) == document && LinkShowsIcon("update.ico");
}

// The modification times of everything the service may write.
struct Snapshot {
  ULONGLONG times[4] = {0, 0, 0, 0};
};

Snapshot TakeSnapshot() {
  Snapshot snapshot;
  snapshot.times[0] = LastWrite(g_kit.link);
  snapshot.times[1] = LastWrite(ServiceFile("version.xml"));
  snapshot.times[2] = LastWrite(ServiceFile("update.ini"));
  snapshot.times[3] = LastWrite(ServiceFile("regist.ini"));
  return snapshot;
}

bool WaitForChecks(long count, DWORD boundMs) {
  const long until = DocumentRequests() + count;
  return WaitFor([until] { return DocumentRequests() >= until; }, boundMs);
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
  return WaitFor([] { return LinkShowsIcon("normal.ico"); }, 30000);
}

void ReportQuiet(const char* label, const Snapshot& before, bool checked, const char* what) {
  const Snapshot after = TakeSnapshot();
  const char* const names[] = {"Vexlo.lnk", "version.xml", "update.ini", "regist.ini"};
  std::string written;
  for (int i = 0; i < 4; ++i) {
    if (after.times[i] != before.times[i])
      written += (written.empty() ? "" : ", ") + std::string(names[i]);
  }
  const bool running = ServiceState() == SERVICE_RUNNING;
  const bool quiet = written.empty() && running;
  Report(label, checked && quiet ? Verdict::kPass : Verdict::kFail, "%s%s",
         !checked  ? "the service made no further check"
         : quiet   ? what
         : running ? "written meanwhile: "
                   : "the service stopped",
         checked && running && !quiet ? written.c_str() : "");
}

}  // namespace

std::string VersionDocument(const std::string& version) {
  return "<?xml version=\"1.0\"?>\r\n<version><v>" + version + "</v></version>\r\n";
}

void ServeStoredDocument() { SetServedDocument(ReadBytes(ServiceFile("version.xml"))); }

void CheckUpdateFlow() {
  const std::string document = NextDocument();
  SetServedDocument(document);
  const bool landed = WaitFor([&] { return UpdateLanded(document); }, kUpdateBoundMs);
  Report("Update: first check", landed ? Verdict::kPass : Verdict::kFail, "%s",
         landed ? "update icon, version.xml stored, update.ini \"0\""
                : "the update icon, version.xml and update.ini \"0\" did not all come");
  ReportShellIcon("Update: the shell's icon", "update.ico");
  const bool normal = ClearMarker();
  Report("Marker: normal icon", normal ? Verdict::kPass : Verdict::kFail, "%s",
         normal ? "the normal icon came back" : "the normal icon did not come back");
  ReportShellIcon("Marker: the shell's icon", "normal.ico");

  const Snapshot before = TakeSnapshot();
  const bool checked = WaitForChecks(6, kUpdateBoundMs);
  ReportQuiet("Steady state", before, checked, "six checks and their marker polls wrote nothing");
}

void CheckQuietAnswers() {
  const struct {
    ServerMode mode;
    const char* label;
    const char* what;
  } answers[] = {
      {ServerMode::kErrorXml, "Answer: 404 with XML", "two checks, nothing written"},
      {ServerMode::kSignInPage, "Answer: sign-in page", "two checks, nothing written"},
      {ServerMode::kEndless, "Answer: endless body", "two checks, nothing written"},
      {ServerMode::kSilent, "Answer: silent server",
       "the check ended at the step time-out, and the next one came; nothing written"},
  };
  for (const auto& answer : answers) {
    if (Interrupted()) return;
    const Snapshot before = TakeSnapshot();
    SetServerMode(answer.mode);
    const bool checked = WaitForChecks(2, kUpdateBoundMs);
    ReportQuiet(answer.label, before, checked, answer.what);
  }
  ServeStoredDocument();

  // A refused connection leaves no trace at any server: the kit watches the
  // files for a few checks' time instead.
  const std::string url = "http://127.0.0.1:" + std::to_string(ServerPort()) + "/doc/desktop.xml";
  WriteConfig("http://127.0.0.1:" + std::to_string(DeadPort()) + "/doc/desktop.xml", 1, 1);
  if (!Restart()) {
    Report("Answer: refused port", Verdict::kFail, "the service did not start again");
  } else {
    const Snapshot before = TakeSnapshot();
    WaitFor([] { return false; }, 8000);
    ReportQuiet("Answer: refused port", before, true, "eight seconds of checks, nothing written");
  }
  WriteConfig(url, 1, 1);
  Restart();
}

void CheckFilesAndLibraries() {
  SetFileAttributesA(ServiceFile("version.xml").c_str(), FILE_ATTRIBUTE_READONLY);
  SetFileAttributesA(ServiceFile("update.ini").c_str(), FILE_ATTRIBUTE_READONLY);
  const std::string document = NextDocument();
  SetServedDocument(document);
  const bool landed = WaitFor([&] { return UpdateLanded(document); }, kUpdateBoundMs);
  const DWORD attributes = GetFileAttributesA(ServiceFile("version.xml").c_str()) |
                           GetFileAttributesA(ServiceFile("update.ini").c_str());
  const bool cleared = (attributes & FILE_ATTRIBUTE_READONLY) == 0;
  Report("Files: read-only state files", landed && cleared ? Verdict::kPass : Verdict::kFail, "%s",
         !landed   ? "the update did not land in read-only files"
         : cleared ? "the update landed and the files lost their read-only mark"
                   : "the update landed but a file is still read-only");
  ClearMarker();

  // Each check loads WinHTTP and CNG and what they load, and each write the
  // shell: all of that has run by now.
  const std::string loaded = LoadedPlantedLibraries();
  Report("Files: planted libraries", loaded.empty() ? Verdict::kPass : Verdict::kFail,
         loaded.empty() ? "%d planted beside the exe, none loaded%s"
                        : "%d planted beside the exe; loaded: %s",
         PlantedLibraries(), loaded.c_str());
}

void CheckSignedDocuments(const std::string& signedDir) {
  const char* const names[] = {"stored.xml", "forged.xml", "older.xml", "newer.xml"};
  const char* const labels[] = {"", "Signed: forged document", "Signed: older serial",
                                "Signed: newer document"};
  std::string documents[4];
  for (int i = 0; i < 4; ++i) {
    if (!signedDir.empty()) documents[i] = ReadBytes(signedDir + "\\" + names[i]);
    if (documents[i].empty()) {
      for (int j = 1; j < 4; ++j) {
        Report(labels[j], Verdict::kNotShown, "%s",
               signedDir.empty() ? "no signed test documents given (--signed-dir)"
                                 : "the folder lacks one of stored.xml, "
                                   "forged.xml, older.xml, newer.xml");
      }
      return;
    }
  }
  RunServiceSwitch("-stop");
  WaitForServiceState(SERVICE_STOPPED, 30000);
  WriteBytes(ServiceFile("version.xml"), documents[0]);
  WriteBytes(ServiceFile("update.ini"), "1");
  RunServiceSwitch("-start");
  WaitForServiceState(SERVICE_RUNNING, 60000);
  for (int i = 1; i < 3; ++i) {
    SetServedDocument(documents[i]);
    const bool checked = WaitForChecks(2, kUpdateBoundMs);
    const bool kept = ReadBytes(ServiceFile("version.xml")) == documents[0] &&
                      ReadBytes(ServiceFile("update.ini")) == "1";
    Report(labels[i], checked && kept ? Verdict::kPass : Verdict::kFail, "%s",
           !checked ? "the service made no further check"
           : kept   ? "refused: nothing written"
                    : "the service took it");
  }
  SetServedDocument(documents[3]);
  const bool landed = WaitFor([&] { return UpdateLanded(documents[3]); }, kUpdateBoundMs);
  Report(labels[3], landed ? Verdict::kPass : Verdict::kFail, "%s",
         landed ? "it landed" : "it did not land");
  ClearMarker();
}

void CheckProxyList() {
  const std::string url = "http://127.0.0.1:" + std::to_string(ServerPort()) + "/doc/desktop.xml";
  const std::string proxies =
      "127.0.0.1:" + std::to_string(DeadPort()) + ";127.0.0.1:" + std::to_string(ServerPort());
  RunServiceSwitch("-stop");
  WaitForServiceState(SERVICE_STOPPED, 30000);
  const bool set = SetMachineProxy(Wide(proxies));
  const DWORD refused = GetLastError();
  // An address only the proxy knows: the document comes through it or not at all.
  WriteConfig("http://vexlo-selftest.invalid/doc/desktop.xml", 1, 1);
  RunServiceSwitch("-start");
  WaitForServiceState(SERVICE_RUNNING, 60000);
  const long proxied = ProxiedRequests();
  const std::string document = NextDocument();
  SetServedDocument(document);
  const bool landed =
      set && WaitFor([&] { return UpdateLanded(document) && ProxiedRequests() > proxied; },
                     kUpdateBoundMs);
  if (!set) {
    Report("Proxy: list, first one dead", Verdict::kNotShown,
           "this Windows refuses to set WinHTTP's own proxy setting (error %lu)", refused);
  } else {
    Report("Proxy: list, first one dead", landed ? Verdict::kPass : Verdict::kFail, "%s",
           landed ? "the update came through the second proxy of the list"
                  : "no update came through the second proxy");
  }
  RunServiceSwitch("-stop");
  WaitForServiceState(SERVICE_STOPPED, 30000);
  const bool restored = RestoreMachineProxy();
  Report("Proxy: setting put back", restored ? Verdict::kPass : Verdict::kFail, "%s",
         restored ? "read back exactly as it was" : "it reads back otherwise than it was");
  WriteConfig(url, 1, 1);
  RunServiceSwitch("-start");
  WaitForServiceState(SERVICE_RUNNING, 60000);
  ClearMarker();
}
