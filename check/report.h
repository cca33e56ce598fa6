// One check of the version document, made with the service's own code and
// explained step by step, in the order the service makes it; then the state
// around it. Writes nothing.
#pragma once

#include <string>

struct CheckOptions {
  std::string url;          // checked instead of the configured address
  std::string stored;       // judged against instead of the folder's version.xml
  std::string storedBytes;  // that file's bytes
  bool askService = false;  // also ask the running service for one check now
};

// Exit codes, for scripts.
const int kExitUpdate = 0;     // the document counts and its version differs
const int kExitNoChange = 1;   // the service would change nothing
const int kExitCannotRun = 2;  // the tool could not run as asked; with askService
                               // also: the service was not asked, or gave no answer

// The folders are set (g_appFolder, g_desktopFolder); prints the report and
// returns kExitUpdate or kExitNoChange, or kExitCannotRun when the service
// was to be asked and gave no answer.
int RunCheck(const CheckOptions& options);
