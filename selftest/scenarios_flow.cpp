// What the service does on the PC: the update and the normal icon, the
// steady state, answers that change nothing, its own files, signed
// documents and the proxy list.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include <cstdint>
#include <string>

#include "selftest/http_server.h"
#include "selftest/kit_pc.h"
#include "selftest/kit_report.h"
#include "selftest/scenarios.h"
#include "shortcut/shortcut.h"
#include "watcher/check_record.h"

namespace {

// Checks and marker polls come every two seconds or so: an update lands, or
// the normal icon comes back, well within these.
const DWORD kUpdateBoundMs = 60000;
const DWORD kLandingBoundMs = 30000;
const DWORD kNormalIconBoundMs = 20000;
// A check held by a silent server ends at the step's ten-second time-out
// and the next one follows at the interval: well within this. A check held
// until the one-minute deadline of the whole check is not.
const DWORD kSilentCheckBoundMs = 40000;
// With an interval of one pass, checks come every two seconds or so; a
// service that stalls after a failed connection misses this by far.
const DWORD kResumedChecksBoundMs = 20000;
int s_nextVersion = 2;

std::string NextDocument() { return VersionDocument(std::to_string(s_nextVersion++) + ".0"); }

std::string Url(int port) {
  return "http://127.0.0.1:" + std::to_string(port) + "/doc/desktop.xml";
}

std::wstring Wide(const std::string& text) {
  wchar_t wide[MAX_PATH * 2];
  return MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide, MAX_PATH * 2) > 0 ? wide : L"";
}

// The first difference the shortcut showed from the one the service must
// write, after any change; empty while none.
std::string s_shortcutDifference;

// The shortcut file against the one the service writes for the client with
// icon; nullptr when it is that one.
const char* ShortcutDiffers(const char* icon) {
  ShortcutFields fields;
  if (!ReadShortcut(Wide(g_kit.link).c_str(), &fields)) return "the file (missing or unreadable)";
  return ShortcutDifference(fields, (g_kit.client + "Vexlo.exe").c_str(),
                            ServiceFile(icon).c_str());
}

// The icon the shortcut file names.
bool LinkShowsIcon(const char* icon) {
  ShortcutFields fields;
  return ReadShortcut(Wide(g_kit.link).c_str(), &fields) &&
         SameShortcutPath(fields.icon, Wide(ServiceFile(icon)));
}

// Reads the whole shortcut back after a change that brought icon.
void NoteShortcut(const char* when, const char* icon) {
  const char* differs = ShortcutDiffers(icon);
  if (differs != nullptr && s_shortcutDifference.empty()) {
    s_shortcutDifference = std::string(when) + ": " + differs + " is not what the service writes";
  }
}

// The icon the shell itself gives the desktop item.
void ReportShellIcon(const char* label, const char* icon) {
  SHFILEINFOW info = {};
  if (SHGetFileInfoW(Wide(g_kit.link).c_str(), 0, &info, sizeof info, SHGFI_ICONLOCATION) == 0 ||
      info.szDisplayName[0] == L'\0') {
    Report(label, Verdict::kNotShown, "the shell gives no icon location for the item here");
    return;
  }
  const bool same = SameShortcutPath(info.szDisplayName, Wide(ServiceFile(icon)));
  Report(label, same ? Verdict::kPass : Verdict::kFail, "the shell shows %s",
         same ? icon : "another icon");
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

bool WaitForChecks(long count, DWORD boundMs, int port = 0) {
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

std::uint64_t UtcSecondsNow() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const std::uint64_t ticks =
      static_cast<std::uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
  return ticks / 10000000ULL - 11644473600ULL;  // from 1601 to 1970
}

// Whether the service's own record says outcome, since at or after since.
bool RecordSays(const char* outcome, std::uint64_t since) {
  CheckRecord record;
  return ReadCheckRecord(&record) && record.outcome == outcome && record.since >= since;
}

}  // namespace

std::string VersionDocument(const std::string& version) {
  return "<?xml version=\"1.0\"?>\r\n<version><v>" + version + "</v></version>\r\n";
}

void ServeStoredDocument() { SetServedDocument(ReadBytes(ServiceFile("version.xml"))); }

void CheckUpdateFlow() {
  const std::string document = NextDocument();
  SetServedDocument(document);
  std::string missing;
  const bool landed = WaitForUpdate(document, &missing);
  Report("Update: first check", landed ? Verdict::kPass : Verdict::kFail, "%s",
         landed ? "update icon, version.xml stored, update.ini \"0\"" : missing.c_str());
  // What the shell shows is asked only of a file that names the icon: one
  // that does not has failed above already.
  if (landed) {
    NoteShortcut("after the update", "update.ico");
    ReportShellIcon("Update: the shell's icon", "update.ico");
  }
  const bool normal = ClearMarker();
  Report("Marker: normal icon", normal ? Verdict::kPass : Verdict::kFail, "%s",
         normal ? "the normal icon came back" : "the normal icon did not come back");
  if (normal) {
    NoteShortcut("after the marker was cleared", "normal.ico");
    ReportShellIcon("Marker: the shell's icon", "normal.ico");
  }

  const Snapshot before = TakeSnapshot();
  const bool checked = WaitForChecks(6, kUpdateBoundMs);
  ReportQuiet("Steady state", before, checked, "six checks and their marker polls wrote nothing");

  const bool seen = landed || normal;
  Report("Shortcut: read back whole",
         !seen                          ? Verdict::kNotShown
         : s_shortcutDifference.empty() ? Verdict::kPass
                                        : Verdict::kFail,
         "%s",
         !seen ? "no change of the shortcut came to read back"
         : s_shortcutDifference.empty()
             ? "target, icon, index, show command and description as written, after each change"
             : s_shortcutDifference.c_str());
}

void CheckQuietAnswers() {
  // Each carries a whole document of a newer version: the answer must be
  // refused for what it is, not for its body.
  SetBaitDocument(VersionDocument("99.0"));
  const struct {
    ServerMode mode;
    const char* label;
    const char* what;
    DWORD boundMs;
  } answers[] = {
      {ServerMode::kErrorXml, "Answer: 404 with XML",
       "two checks of a 404 carrying a newer document, nothing written", kUpdateBoundMs},
      {ServerMode::kSignInPage, "Answer: sign-in page",
       "two checks of an HTML page around a newer document, nothing written", kUpdateBoundMs},
      {ServerMode::kEndless, "Answer: endless body",
       "two checks of a newer document followed by endless white space, nothing written",
       kUpdateBoundMs},
      {ServerMode::kSilent, "Answer: silent server",
       "the check ended at the step time-out, and the next one came; nothing written",
       kSilentCheckBoundMs},
  };
  for (const auto& answer : answers) {
    if (Interrupted()) return;
    const Snapshot before = TakeSnapshot();
    SetServerMode(answer.mode);
    // The first request may already be under way: two more after it.
    const bool checked = WaitForChecks(1, kUpdateBoundMs) && WaitForChecks(1, answer.boundMs);
    ReportQuiet(answer.label, before, checked, answer.what);
  }
  ServeStoredDocument();
}

// The refused port: the service's own record must show a check that met
// the refusal, for nothing at a server can; then the port answers, and the
// checks must go on at the interval.
void CheckRefusedPort() {
  const int refusing = DeadPort();
  WriteConfig(Url(refusing), 1, 1);
  const std::uint64_t started = UtcSecondsNow();
  if (!Restart()) {
    Report("Answer: refused port", Verdict::kFail, "the service did not start again");
    return;
  }
  const Snapshot before = TakeSnapshot();
  const bool refused =
      WaitFor([started] { return RecordSays("ConnectionRefused", started); }, kUpdateBoundMs);
  const std::string written = WrittenSince(before);
  bool resumed = false;
  if (refused && written.empty() && ListenAlso(refusing) == refusing) {
    resumed = WaitForChecks(2, kResumedChecksBoundMs, refusing);
  }
  const bool pass = refused && written.empty() && resumed && ServiceState() == SERVICE_RUNNING;
  Report("Answer: refused port", pass ? Verdict::kPass : Verdict::kFail, "%s%s",
         !refused           ? "the service's record shows no check that met the refusal"
         : !written.empty() ? "written meanwhile: "
         : !resumed         ? "once the port answered, no two checks came within 20 s"
         : pass             ? "the record shows the refusal, nothing written, and the checks "
                              "went on once the port answered"
                            : "the service stopped",
         refused && !written.empty() ? written.c_str() : "");
  WriteConfig(Url(ServerPort()), 1, 1);
  Restart();
}

void CheckFilesAndLibraries() {
  SetFileAttributesA(ServiceFile("version.xml").c_str(), FILE_ATTRIBUTE_READONLY);
  SetFileAttributesA(ServiceFile("update.ini").c_str(), FILE_ATTRIBUTE_READONLY);
  const std::string document = NextDocument();
  SetServedDocument(document);
  std::string missing;
  const bool landed = WaitForUpdate(document, &missing);
  const DWORD attributes = GetFileAttributesA(ServiceFile("version.xml").c_str()) |
                           GetFileAttributesA(ServiceFile("update.ini").c_str());
  const bool cleared = (attributes & FILE_ATTRIBUTE_READONLY) == 0;
  Report("Files: read-only state files", landed && cleared ? Verdict::kPass : Verdict::kFail,
         "%s%s",
         !landed   ? "the update did not land in read-only files: "
         : cleared ? "the update landed and the files lost their read-only mark"
                   : "the update landed but a file is still read-only",
         landed ? "" : missing.c_str());
  ClearMarker();

  // Each check loads WinHTTP and CNG and what they load, and each write the
  // shell: all of that has run by now. A library that is gone (a virus
  // scanner took it) proves nothing either way.
  const std::string loaded = LoadedPlantedLibraries();
  const int present = PlantedLibrariesPresent();
  if (!loaded.empty()) {
    Report("Files: planted libraries", Verdict::kFail, "%d planted beside the exe; loaded: %s",
           PlantedLibraries(), loaded.c_str());
  } else if (present < PlantedLibraries()) {
    Report("Files: planted libraries", Verdict::kNotShown,
           "%d of the %d planted beside the exe were removed meanwhile (a virus scanner?)",
           PlantedLibraries() - present, PlantedLibraries());
  } else {
    Report("Files: planted libraries", Verdict::kPass,
           "%d planted beside the exe, all still there, none loaded", PlantedLibraries());
  }
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
  std::string missing;
  const bool landed = WaitForUpdate(documents[3], &missing);
  Report(labels[3], landed ? Verdict::kPass : Verdict::kFail, "%s",
         landed ? "it landed" : missing.c_str());
  ClearMarker();
}

void CheckProxyList() {
  // A dead proxy, then two live ones: the update must come through the
  // first live one, and the second must see nothing.
  const int dead = DeadPort();
  const int first = ListenAlso(0);
  const int second = ListenAlso(0);
  const std::string proxies = "127.0.0.1:" + std::to_string(dead) +
                              ";127.0.0.1:" + std::to_string(first) +
                              ";127.0.0.1:" + std::to_string(second);
  RunServiceSwitch("-stop");
  WaitForServiceState(SERVICE_STOPPED, 30000);
  const bool set = first != 0 && second != 0 && SetMachineProxy(Wide(proxies));
  const DWORD refused = GetLastError();
  // An address only the proxy knows: the document comes through it or not at all.
  WriteConfig("http://vexlo-selftest.invalid/doc/desktop.xml", 1, 1);
  RunServiceSwitch("-start");
  WaitForServiceState(SERVICE_RUNNING, 60000);
  const long before = ProxiedRequests(first);
  const long beforeSecond = ProxiedRequests(second);
  const std::string document = NextDocument();
  SetServedDocument(document);
  std::string missing = "WinHTTP's own proxy setting could not be set";
  const bool landed = set && WaitForUpdate(document, &missing);
  const std::string route = "proxy 127.0.0.1:" + std::to_string(first) + " ";
  CheckRecord record;
  const bool recorded = landed && WaitFor(
                                      [&] {
                                        return ReadCheckRecord(&record) &&
                                               record.route.compare(0, route.size(), route) == 0;
                                      },
                                      30000);
  const bool throughFirst = ProxiedRequests(first) > before;
  const bool secondQuiet = ProxiedRequests(second) == beforeSecond;
  if (!set && first != 0 && second != 0) {
    Report("Proxy: list, first one dead", Verdict::kNotShown,
           "this Windows refuses to set WinHTTP's own proxy setting (error %lu)", refused);
  } else {
    const bool pass = landed && throughFirst && secondQuiet && recorded;
    Report("Proxy: list, first one dead", pass ? Verdict::kPass : Verdict::kFail, "%s%s",
           !landed         ? "no update came through the list: "
           : !throughFirst ? "the update did not come through the first live proxy"
           : !secondQuiet  ? "the proxy after the first live one was asked too"
           : !recorded     ? "the service's record does not name the first live proxy: "
                           : "the update came through the first live proxy, the next saw "
                             "nothing, and the record names it",
           !landed     ? missing.c_str()
           : !recorded ? record.route.c_str()
                       : "");
  }
  RunServiceSwitch("-stop");
  WaitForServiceState(SERVICE_STOPPED, 30000);
  const bool restored = RestoreMachineProxy();
  Report("Proxy: setting put back", restored ? Verdict::kPass : Verdict::kFail, "%s",
         restored ? "read back exactly as it was" : "it reads back otherwise than it was");
  WriteConfig(Url(ServerPort()), 1, 1);
  RunServiceSwitch("-start");
  WaitForServiceState(SERVICE_RUNNING, 60000);
  ClearMarker();
}
