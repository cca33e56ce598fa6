// The service's own files: read-only state files, libraries planted beside
// its exe, and documents signed by the publisher.
#include <windows.h>

#include <string>

#include "selftest/http_server.h"
#include "selftest/kit_pc.h"
#include "selftest/kit_report.h"
#include "selftest/scenario_steps.h"
#include "selftest/scenarios.h"

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
