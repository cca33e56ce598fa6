// The acceptance kit's scenarios, in the order a run takes them. Each prints
// its lines (selftest/kit_report.h); none assumes what the platform is, only
// what it answers.
#pragma once

#include <string>

// -install, and what the service manager stores of it and the running
// service holds. False when the service did not start and check: then
// nothing else can be shown.
bool CheckInstall();

// The first check, the update icon, the cleared marker and the normal icon,
// the shell's own icon for the item, the steady state, and the shortcut
// read back whole after each change.
void CheckUpdateFlow();

// Answers that change nothing, each carrying a newer document a service
// that judged the body alone would take: an error status, a sign-in page,
// an endless body, a silent server.
void CheckQuietAnswers();

// A refused port: the service's own record shows the refusal, nothing is
// written, and the checks go on once the port answers.
void CheckRefusedPort();

// Read-only state files, and libraries planted beside the exe.
void CheckFilesAndLibraries();

// Documents signed by the publisher, from signedDir (empty: not shown).
void CheckSignedDocuments(const std::string& signedDir);

// WinHTTP's own proxy setting as a list: a dead proxy, then two live ones.
void CheckProxyList();

// The process rules, read back from the running service.
void CheckMitigations();

// A stop, and a stop during a silent download.
void CheckStops();

// -uninstall: no service, no record, no process left.
void CheckRemoval();

// The version document the kit serves for version text.
std::string VersionDocument(const std::string& version);

// Serves the bytes of the service's version.xml: every check then ends as
// the same document, and changes nothing.
void ServeStoredDocument();
