// VexloSelfTest.exe: the acceptance kit a publisher's QA runs on a test PC
// or virtual machine of each Windows it ships to, from an elevated prompt.
// It lays out a client of its own with the VexloService.exe beside it,
// serves version documents from 127.0.0.1, installs the service and drives
// it through the scenarios the service promises, then puts the PC back.
//
//   VexloSelfTest.exe [--run] [--only GROUP] [--folder DIR] [--report FILE]
//                     [--signed-dir DIR]
//   VexloSelfTest.exe --put-back
//
// Exit codes: 0 nothing failed, 1 a scenario failed, 2 nothing was run; with
// --put-back 0 put back or nothing to do, 1 something left, 2 refused.
#include <objbase.h>
#include <shlobj.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "check/console.h"
#include "common/path_buffer.h"
#include "selftest/http_server.h"
#include "selftest/kit_report.h"
#include "selftest/scenarios.h"
#include "selftest/kit_pc.h"
#include "service/service.h"

namespace {

const char kUsage[] =
    "Usage: VexloSelfTest.exe [--run] [--only GROUP] [--folder DIR] [--report FILE]\n"
    "                         [--signed-dir DIR]\n"
    "       VexloSelfTest.exe --put-back\n"
    "  Proves on this Windows what VexloService.exe (beside this program) does.\n"
    "  Run it on a test PC or virtual machine, from an elevated prompt.\n"
    "  --run             make the changes below and run the scenarios; without\n"
    "                    it nothing is changed and the plan is printed\n"
    "  --only GROUP      run one group of scenarios, with the install before it and\n"
    "                    the removal after it: install, update, answers, refused,\n"
    "                    files, signed, proxy, process or stop\n"
    "  --folder DIR      lay out the test client in DIR (must not exist), for\n"
    "                    paths with spaces or other letters; by default\n"
    "                    \"Vexlo Self-Test\" under Program Files\n"
    "  --report FILE     write a copy of the report to FILE\n"
    "  --signed-dir DIR  stored.xml, forged.xml, older.xml and newer.xml signed\n"
    "                    for a build with keys (see the guide)\n"
    "  --put-back        only put back what a run that was cut off changed, from\n"
    "                    its journal, and say what\n"
    "Exit codes: 0 nothing failed, 1 a scenario failed, 2 nothing was run; with\n"
    "--put-back 0 put back or nothing to do, 1 something is left, 2 refused.\n";

struct Options {
  bool run = false;
  std::string only;
  bool putBack = false;
  std::string folder;
  std::string report;
  std::string signedDir;
};

std::string s_signedDir;

void SignedDocuments() { CheckSignedDocuments(s_signedDir); }
void InstallOnly() {}

// The groups of scenarios, in the order a whole run takes them; each runs
// between the install and the removal.
const struct Group {
  const char* name;
  void (*run)();
} kGroups[] = {{"install", InstallOnly},    {"update", CheckUpdateFlow},
               {"answers", CheckQuietAnswers}, {"refused", CheckRefusedPort},
               {"files", CheckFilesAndLibraries},
               {"signed", SignedDocuments},  {"proxy", CheckProxyList},
               {"process", CheckMitigations}, {"stop", CheckStops}};

bool IsGroup(const std::string& name) {
  for (const Group& group : kGroups) {
    if (name == group.name) return true;
  }
  return false;
}

int Refuse(const char* why, const std::string& what) {
  Say("VexloSelfTest: %s%s\n\n%s", why, what.c_str(), kUsage);
  return 2;
}

bool IsElevatedAdministrator() {
  SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  if (!AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS,
                                0, 0, 0, 0, 0, 0, &administrators)) {
    return false;
  }
  BOOL member = FALSE;
  if (!CheckTokenMembership(nullptr, administrators, &member)) member = FALSE;
  FreeSid(administrators);
  return member != FALSE;
}

std::string FullFolder(const std::string& folder) {
  char full[MAX_PATH];
  const DWORD length = GetFullPathNameA(folder.c_str(), MAX_PATH, full, nullptr);
  if (length == 0 || length >= MAX_PATH - 40) return std::string();
  std::string path(full, length);
  if (path.back() != '\\') path += '\\';
  return path;
}

bool SetPaths(const Options& options, std::string* why) {
  PathBuffer exe;
  if (!GetExecutablePath(exe)) return false;
  std::string beside = exe;
  beside.erase(beside.rfind('\\') + 1);
  g_kit.source = beside + "VexloService.exe";
  if (GetFileAttributesA(g_kit.source.c_str()) == INVALID_FILE_ATTRIBUTES) {
    *why = "VexloService.exe is not beside this program: " + g_kit.source;
    return false;
  }
  std::string folder = options.folder;
  if (folder.empty()) {
    char programs[MAX_PATH];
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES, nullptr, 0, programs))) {
      *why = "the Program Files folder was not found";
      return false;
    }
    folder = std::string(programs) + "\\Vexlo Self-Test";
  }
  g_kit.client = FullFolder(folder);
  if (g_kit.client.empty()) {
    *why = "the folder is too long: " + folder;
    return false;
  }
  g_kit.service = g_kit.client + "Service\\";
  g_kit.exe = g_kit.service + "VexloService.exe";
  PathBuffer desktop;
  if (!GetCommonDesktop(desktop)) {
    *why = "the all-users desktop was not found";
    return false;
  }
  g_kit.link = std::string(desktop) + "\\Vexlo.lnk";
  return true;
}

void SayPlan() {
  Say("VexloSelfTest %s: proves on this Windows what VexloService.exe does.\n\n", VEXLO_VERSION);
  Say("What a run changes on this PC, and puts back at its end (also after a failure or\n"
      "Ctrl+C):\n"
      "  - lays out a test client in %s, with the VexloService.exe beside\n"
      "    this program, icons, settings and libraries copied from the system folder\n"
      "    under names a process may load (they must never be loaded);\n"
      "  - installs, starts, stops and removes the service VexloService;\n"
      "  - writes %s;\n"
      "  - sets WinHTTP's own proxy setting for a while (read back as it was at the end);\n"
      "  - serves version documents from 127.0.0.1 (no other address is used).\n"
      "It refuses to run where VexloService is installed or Vexlo.lnk exists.\n\n",
      g_kit.client.c_str(), g_kit.link.c_str());
}

int RunScenarios(const Options& options) {
  std::string why;
  if (!FinishEarlierRun(&why)) return Refuse("", why);
  if (!StartServer()) return Refuse("no server could listen on 127.0.0.1", "");
  if (!SaveThePc(&why)) {
    StopServer();
    CloseJournal();  // nothing was changed yet
    return Refuse("", why);
  }
  WatchForInterrupt();
  const std::string url = "http://127.0.0.1:" + std::to_string(ServerPort()) + "/doc/desktop.xml";
  if (!LayOut(url, &why)) {
    Report("Lay out", Verdict::kFail, "%s", why.c_str());
  } else if (ServeStoredDocument(), CheckInstall()) {
    s_signedDir = options.signedDir;
    for (const Group& group : kGroups) {
      if (Interrupted()) break;
      if (options.only.empty() || options.only == group.name) group.run();
    }
    if (!Interrupted()) CheckRemoval();
  }
  if (Interrupted()) ReportInterruption();
  std::string left;
  const bool clean = PutThePcBack(&left);
  Report("Put back", clean ? Verdict::kPass : Verdict::kFail, "%s",
         clean ? "no service, process, shortcut, folder or key of the run left; the proxy "
                 "setting and product values as they were"
               : ("left: " + left + " (a problem of the test PC: see the guide)").c_str());
  StopServer();
  ReportTotals();
  return AnyFailed() ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Library loads from the system folder only; the service's process rules
  // are not the kit's, which starts programs.
  RestrictLibrarySearch();
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    bool* flag = name == "--run" ? &options.run : name == "--put-back" ? &options.putBack : nullptr;
    if (flag != nullptr && !*flag) {
      *flag = true;
      continue;
    }
    std::string* value = name == "--only"         ? &options.only
                         : name == "--folder"     ? &options.folder
                         : name == "--report"     ? &options.report
                         : name == "--signed-dir" ? &options.signedDir
                                                  : nullptr;
    if (value == nullptr) return Refuse("unknown argument or given twice: ", name);
    if (i + 1 >= argc || *argv[i + 1] == '\0') return Refuse("a value is missing after ", name);
    if (!value->empty()) return Refuse("given twice: ", name);
    *value = argv[++i];
  }
  if (!options.only.empty() && !IsGroup(options.only)) {
    return Refuse("no such group of scenarios: ", options.only);
  }
  std::string why;
  if (options.putBack) {
    if (options.run || !options.folder.empty() || !options.signedDir.empty()) {
      return Refuse("--put-back takes no other argument but --report", "");
    }
    if (!IsElevatedAdministrator()) return Refuse("run it from an elevated prompt", "");
  } else if (!SetPaths(options, &why)) {
    return Refuse("", why);
  }
  std::FILE* report = nullptr;
  if (!options.report.empty()) {
    report = std::fopen(options.report.c_str(), "wb");
    if (report == nullptr) return Refuse("cannot write the report file: ", options.report);
    CopyOutputTo(report);
  }
  if (!options.putBack) SayPlan();
  int code = 2;
  if (options.putBack) {
    code = PutBackOnly();
  } else if (!options.run) {
    Say("Nothing was changed. Run it again with --run, on a test PC.\n");
  } else if (!IsElevatedAdministrator()) {
    code = Refuse("run it from an elevated prompt (as administrator)", "");
  } else {
    const HRESULT initialized = CoInitialize(nullptr);
    code = RunScenarios(options);
    if (SUCCEEDED(initialized)) CoUninitialize();
  }
  CopyOutputTo(nullptr);
  if (report != nullptr) std::fclose(report);
  return code;
}
