// Before a run: a real install is never touched, and a run cut off earlier
// is finished first. After it, after a failure or Ctrl+C alike, and with
// --put-back from the journal alone: nothing of the run is left, each thing
// read back to be sure.
#include <atomic>
#include <cstring>
#include <vector>

#include "check/console.h"
#include "selftest/kit_pc.h"
#include "service/service.h"

namespace {

std::atomic<bool> s_interrupted{false};
HANDLE s_cleaned = nullptr;  // set once the PC is put back

// A closed console ends the process about five seconds after this handler
// is called (HandlerRoutine): the machine's proxy setting, which breaks the
// PC's own updates while it names the kit's ports, goes back first; what the
// rest of the clean-up does not finish in time stays in the journal.
BOOL WINAPI OnControl(DWORD event) {
  s_interrupted = true;
  if (event != CTRL_CLOSE_EVENT || s_cleaned == nullptr) return TRUE;
  const bool proxy = PutProxyBack();
  if (WaitForSingleObject(s_cleaned, 3500) != WAIT_OBJECT_0) {
    Say("\nThe window was closed: %s; the rest of the run is named in %s. Run "
        "\"VexloSelfTest.exe --put-back\" to put it back.\n",
        proxy ? "WinHTTP's own proxy setting is put back" : "WinHTTP's own proxy setting is not",
        JournalPath().c_str());
  }
  return TRUE;
}

bool Missing(const std::string& path) {
  return GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES;
}

// Deletes a folder and what it holds; a link or junction inside loses its
// name only, never what it leads to.
void DeleteTree(const std::string& folder) {
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA((folder + "*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = entry.cFileName;
      if (name == "." || name == "..") continue;
      const std::string path = folder + name;
      SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) DeleteTree(path + "\\");
        RemoveDirectoryA(path.c_str());
      } else {
        DeleteFileA(path.c_str());
      }
    } while (FindNextFileA(find, &entry));
    FindClose(find);
  }
  RemoveDirectoryA(folder.c_str());
}

bool SameText(const std::string& a, const std::string& b) {
  return CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a.c_str(), -1, b.c_str(), -1) ==
         CSTR_EQUAL;
}

// Whether the registered service is the kit's copy: a real install that
// came after the run is never removed.
bool RegisteredFrom(const std::string& exe) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return false;
  bool ours = false;
  if (SC_HANDLE service = OpenServiceA(manager, kServiceName, SERVICE_QUERY_CONFIG)) {
    BYTE buffer[8192];
    DWORD needed = 0;
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer);
    if (QueryServiceConfigA(service, config, sizeof buffer, &needed) &&
        config->lpBinaryPathName != nullptr) {
      std::string image = config->lpBinaryPathName;
      if (!image.empty() && image[0] == '"') image = image.substr(1, image.find('"', 1) - 1);
      ours = SameText(image, exe);
    }
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return ours;
}

// Asks the service manager directly; true when it says the service is
// already marked for deletion (another program holds it open).
bool DeleteThroughManager() {
  bool marked = false;
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return false;
  if (SC_HANDLE service = OpenServiceA(manager, kServiceName, DELETE | SERVICE_STOP)) {
    SERVICE_STATUS status;
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    marked = !DeleteService(service) && GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return marked;
}

// The service and any process of its exe; what is left, or empty.
std::string RemoveService(const std::string& exe) {
  if (ServiceState() != 0 && !RegisteredFrom(exe)) {
    return "the service VexloService, registered from another exe than the kit's " + exe +
           ": a real install, left alone";
  }
  bool marked = false;
  if (ServiceState() != 0 && !Missing(exe)) RunServiceSwitch("-uninstall");
  if (ServiceState() != 0) {
    // Marked for deletion, it goes only once the program holding it lets go.
    marked = DeleteThroughManager();
    WaitFor([] { return ServiceState() == 0; }, marked ? 5000 : 30000);
  }
  // A process left running from the kit's copy is the kit's own to end.
  for (int tries = 0; tries < 3; ++tries) {
    const DWORD process = ProcessRunningFrom(exe);
    if (process == 0) break;
    if (HANDLE running = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, process)) {
      TerminateProcess(running, 1);
      WaitForSingleObject(running, 10000);
      CloseHandle(running);
    }
  }
  std::string left;
  if (ServiceState() != 0) {
    left = marked ? "the service VexloService, marked for deletion while a program holds it "
                    "open: close the Services console (services.msc), Event Viewer, Task "
                    "Manager's Services tab and any sc command, then run "
                    "\"VexloSelfTest.exe --put-back\" (a restart also removes it)"
                  : "the service VexloService";
  }
  if (ProcessRunningFrom(exe) != 0) {
    left += std::string(left.empty() ? "" : "; ") + "a process running from " + exe;
  }
  return left;
}

// Puts back everything the journal names, proxy first; says each thing when
// asked. Empty when nothing is left, and then the journal goes too.
std::string PutBack(bool say) {
  LoadOriginalProxy();
  std::string left;
  auto account = [&left, say](const std::string& what, const std::string& leftOf) {
    if (say)
      Say(leftOf.empty() ? "  put back  %s\n" : "  LEFT      %s\n",
          leftOf.empty() ? what.c_str() : leftOf.c_str());
    if (!leftOf.empty()) left += (left.empty() ? "" : "; ") + leftOf;
  };
  if (ProxyWasSet()) {
    account("WinHTTP's own proxy setting, read back as it was",
            PutProxyBack() ? "" : "WinHTTP's own proxy setting (it does not read back as it was)");
  }
  std::string client;
  std::vector<std::string> parents;
  for (const JournalRecord& record : JournalRecords()) {
    if (record.size() != 2) continue;
    if (record[0] == "service") {
      g_kit.exe = record[1];
      g_kit.service = record[1].substr(0, record[1].rfind('\\') + 1);
      account("the service VexloService and its process: gone", RemoveService(record[1]));
    } else if (record[0] == "link") {
      DeleteFileA(record[1].c_str());
      account(record[1] + ": gone", Missing(record[1]) ? "" : record[1]);
    } else if (record[0] == "client") {
      client = record[1];
    } else if (record[0] == "folder") {
      parents.push_back(record[1]);
    }
  }
  const std::string keys = PutProductKeysBack();
  account("the product key's values and keys, as they were", keys);
  if (!client.empty()) {
    // A virus scanner may hold a file it has just seen for a moment.
    WaitFor(
        [&client] {
          DeleteTree(client + "\\");
          return Missing(client);
        },
        15000);
    account(client + ": gone", Missing(client) ? "" : client);
  }
  for (auto parent = parents.rbegin(); parent != parents.rend(); ++parent) {
    RemoveDirectoryA(parent->c_str());
    account(*parent + ": gone", Missing(*parent) ? "" : *parent);
  }
  if (left.empty() && !CloseJournal()) left = "the journal " + JournalPath();
  return left;
}

}  // namespace

bool Interrupted() { return s_interrupted; }

void WatchForInterrupt() {
  s_cleaned = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnControl, TRUE);
}

bool FinishEarlierRun(std::string* why) {
  bool found = false;
  if (!OpenJournal(&found, why)) return false;
  if (!found) return true;
  Say("A run was cut off before it put the PC back. From its journal, %s:\n",
      JournalPath().c_str());
  const std::string left = PutBack(true);
  if (left.empty()) {
    Say("Everything of that run is put back.\n\n");
    return true;
  }
  *why = "what an earlier run changed is not all put back: " + left +
         ". Its journal stays; run \"VexloSelfTest.exe --put-back\" once that is cleared";
  return false;
}

int PutBackOnly() {
  std::string why;
  bool found = false;
  if (!OpenJournal(&found, &why)) {
    Say("VexloSelfTest: %s\n", why.c_str());
    return 2;
  }
  if (!found) {
    Say("Nothing to put back: no run left a journal (%s).\n", JournalPath().c_str());
    return 0;
  }
  Say("Putting back what a run changed, from its journal %s:\n", JournalPath().c_str());
  const std::string left = PutBack(true);
  Say(left.empty() ? "Everything is put back.\n"
                   : "Something is left (above); the journal stays for the next try.\n");
  return left.empty() ? 0 : 1;
}

bool SaveThePc(std::string* why) {
  if (ServiceState() != 0) {
    *why = "VexloService is installed on this PC: a real install is never touched";
    return false;
  }
  if (!Missing(g_kit.link)) {
    *why = g_kit.link + " exists: a real client's shortcut is never touched";
    return false;
  }
  if (!Missing(g_kit.client)) {
    *why = g_kit.client + " exists: the kit lays out a folder of its own";
    return false;
  }
  if (!ParentsAreSafe(g_kit.client, why)) return false;
  // What the run will make, before it makes any of it.
  if (!Journal({"service", g_kit.exe}) || !Journal({"link", g_kit.link})) {
    *why = "the journal cannot be written: " + JournalPath();
    return false;
  }
  return SaveMachineSettings(why);
}

bool PutThePcBack(std::string* left) {
  // The waits below serve the clean-up, which an interrupt asked for.
  s_interrupted = false;
  *left = PutBack(false);
  if (s_cleaned != nullptr) SetEvent(s_cleaned);
  return left->empty();
}
