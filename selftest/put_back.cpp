// Before a run: a real install is never touched. After it, and after a
// failure or Ctrl+C alike: nothing of the run is left.
#include <atomic>

#include "selftest/kit_pc.h"
#include "service/service.h"

namespace {

std::atomic<bool> s_interrupted{false};
HANDLE s_cleaned = nullptr;  // set once the PC is put back

BOOL WINAPI OnControl(DWORD event) {
  s_interrupted = true;
  // Closing the console ends the process once this returns: the cleanup
  // gets what time Windows gives.
  if (event == CTRL_CLOSE_EVENT && s_cleaned != nullptr) WaitForSingleObject(s_cleaned, 4500);
  return TRUE;
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

}  // namespace

bool Interrupted() { return s_interrupted; }

void WatchForInterrupt() {
  s_cleaned = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnControl, TRUE);
}

bool SaveThePc(std::string* why) {
  if (ServiceState() != 0) {
    *why = "VexloService is installed on this PC: a real install is never touched";
    return false;
  }
  if (GetFileAttributesA(g_kit.link.c_str()) != INVALID_FILE_ATTRIBUTES) {
    *why = g_kit.link + " exists: a real client's shortcut is never touched";
    return false;
  }
  if (GetFileAttributesA(g_kit.client.c_str()) != INVALID_FILE_ATTRIBUTES) {
    *why = g_kit.client + " exists: the kit lays out a folder of its own";
    return false;
  }
  if (!SaveMachineSettings()) {
    *why = "WinHTTP's own proxy setting cannot be read, so it could not be put back";
    return false;
  }
  return true;
}

bool PutThePcBack() {
  // The waits below serve the clean-up, which an interrupt asked for.
  s_interrupted = false;
  if (ServiceState() != 0) RunServiceSwitch("-uninstall");
  if (ServiceState() != 0) {
    // The exe could not remove it: the manager is asked directly.
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager != nullptr) {
      if (SC_HANDLE service = OpenServiceA(manager, kServiceName, DELETE | SERVICE_STOP)) {
        SERVICE_STATUS status;
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        DeleteService(service);
        CloseServiceHandle(service);
      }
      CloseServiceHandle(manager);
    }
    WaitFor([] { return ServiceState() == 0; }, 30000);
  }
  const bool proxy = RestoreMachineProxy();
  RestoreProductKeys();
  DeleteFileA(g_kit.link.c_str());
  // A virus scanner may hold a file it has just seen for a moment.
  WaitFor(
      [] {
        DeleteTree(g_kit.client);
        return GetFileAttributesA(g_kit.client.c_str()) == INVALID_FILE_ATTRIBUTES;
      },
      15000);
  RemoveMadeParents();
  const bool gone = ServiceState() == 0 &&
                    GetFileAttributesA(g_kit.link.c_str()) == INVALID_FILE_ATTRIBUTES &&
                    GetFileAttributesA(g_kit.client.c_str()) == INVALID_FILE_ATTRIBUTES;
  if (s_cleaned != nullptr) SetEvent(s_cleaned);
  return proxy && gone;
}
