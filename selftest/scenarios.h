// The acceptance kit's scenarios, in the order a run takes them. Each prints
// its lines (selftest/kit_report.h); none assumes what the platform is, only
// what it answers.
#pragma once

#include <string>

// -install, and what the service manager stores of it. False when the
// service did not start: then nothing else can be shown.
bool CheckInstall();

// The first check, the update icon, the cleared marker and the normal icon,
// the shell's own icon for the item, and the steady state.
void CheckUpdateFlow();

// Answers that change nothing: an XML error, a sign-in page, an endless
// body, a silent server, a refused port.
void CheckQuietAnswers();

// Read-only state files, and libraries planted beside the exe.
void CheckFilesAndLibraries();

// Documents signed by the publisher, from signedDir (empty: not shown).
void CheckSignedDocuments(const std::string& signedDir);

// WinHTTP's own proxy setting as a list whose first proxy is dead.
void CheckProxyList();

// The process rules, read back from the running service.
void CheckMitigations();

// A stop, also during a silent download, then -uninstall.
void CheckStopAndRemoval();

// The version document the kit serves for version text.
std::string VersionDocument(const std::string& version);

// Serves the bytes of the service's version.xml: every check then ends as
// the same document, and changes nothing.
void ServeStoredDocument();
