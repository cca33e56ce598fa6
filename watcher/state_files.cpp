#include <clocale>

#include "common/file_replace.h"
#include "common/vexlo.h"
#include "watcher/watcher.h"

void WriteStateFiles(const std::string& documentText) {
  std::setlocale(LC_ALL, "");
  // The temporary names are no longer than the real ones, so a folder that
  // fits the real name fits the temporary one too.
  ReplaceFileContents(g_appFolder, "version.xml", "version.tmp", documentText);
  ReplaceFileContents(g_appFolder, "update.ini", "update.tmp", "0");
}
