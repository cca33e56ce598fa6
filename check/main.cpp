// VexloCheck.exe: for support staff and release pipelines, one check of the
// version document as the service makes it, explained. Run by any user; it
// writes nothing, and runs safely beside the running service.
//
//   VexloCheck.exe [--url URL] [--stored FILE] [--folder DIR] [--ask-service]
//
// Exit codes: 0 the service would show the update, 1 it would change
// nothing, 2 the tool could not run as asked (with --ask-service also when
// the service could not be asked or gave no answer in time).
#include <windows.h>

#include <objbase.h>

#include <cstring>
#include <string>

#include "check/console.h"
#include "check/report.h"
#include "common/path_buffer.h"
#include "common/whole_file.h"
#include "service/service.h"

namespace {

const char kUsage[] =
    "Usage: VexloCheck.exe [--url URL] [--stored FILE] [--folder DIR] [--ask-service]\n"
    "  Makes one check of the version document as VexloService makes it, from\n"
    "  the service's folder (this program's own), and explains it. Writes nothing.\n"
    "  --url URL      check this address instead of the configured one\n"
    "  --stored FILE  judge against FILE instead of the folder's version.xml\n"
    "  --folder DIR   run as if from the service folder DIR\n"
    "  --ask-service  also ask the running service for one check now, as the\n"
    "                 system account, and show its answer beside this check\n"
    "Exit codes: 0 the service would show the update, 1 it would change nothing,\n"
    "2 the check could not run as asked; with --ask-service also 2 when the\n"
    "service was not asked (not installed, not running, access denied) or gave\n"
    "no answer in time.\n";

int Refuse(const char* why, const char* what) {
  Say("VexloCheck: %s%s\n\n%s", why, what, kUsage);
  return kExitCannotRun;
}

// DIR as an absolute folder ending in a backslash, in g_appFolder.
bool SetFolder(const char* folder) {
  PathBuffer full;
  const DWORD length = GetFullPathNameA(folder, sizeof full, full, nullptr);
  if (length == 0 || length >= sizeof full) return false;
  const DWORD attributes = GetFileAttributesA(full);
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return false;
  }
  const bool endsInBackslash = full[std::strlen(full) - 1] == '\\';
  return JoinPath(g_appFolder, full, endsInBackslash ? "" : "\\");
}

}  // namespace

int main(int argc, char** argv) {
  TurnOnProcessMitigations();
  RestrictLibrarySearch();

  CheckOptions options;
  const char* folder = nullptr;
  for (int i = 1; i < argc; ++i) {
    const char* name = argv[i];
    if (std::strcmp(name, "--ask-service") == 0) {
      if (options.askService) return Refuse("given twice: ", name);
      options.askService = true;
      continue;
    }
    std::string* value = std::strcmp(name, "--url") == 0      ? &options.url
                         : std::strcmp(name, "--stored") == 0 ? &options.stored
                                                              : nullptr;
    const bool isFolder = std::strcmp(name, "--folder") == 0;
    if (value == nullptr && !isFolder) return Refuse("unknown argument: ", name);
    if (i + 1 >= argc) return Refuse("a value is missing after ", name);
    if ((isFolder && folder != nullptr) || (value != nullptr && !value->empty())) {
      return Refuse("given twice: ", name);
    }
    const char* given = argv[++i];
    if (*given == '\0') return Refuse("an empty value after ", name);
    if (isFolder) {
      folder = given;
    } else {
      *value = given;
    }
  }
  if (options.url.size() >= sizeof(PathBuffer)) return Refuse("the address is too long: ", "");
  if (!options.stored.empty()) {
    if (options.stored.size() >= sizeof(PathBuffer) ||
        !ReadWholeFile(options.stored.c_str(), &options.storedBytes)) {
      return Refuse("cannot read the file given with --stored: ", options.stored.c_str());
    }
  }
  if (folder != nullptr) {
    if (!SetFolder(folder)) return Refuse("no such folder, or too long: ", folder);
  } else {
    PathBuffer exe;
    if (!GetExecutablePath(exe) || !CopyPath(g_appFolder, exe)) {
      return Refuse("this program's folder is too long", "");
    }
    StripToFolder();
  }
  if (!GetCommonDesktop(g_desktopFolder)) return Refuse("the all-users desktop was not found", "");

  // The shortcut is read through the shell's link object.
  const HRESULT initialized = CoInitialize(nullptr);
  const int code = RunCheck(options);
  if (SUCCEEDED(initialized)) CoUninitialize();
  return code;
}
