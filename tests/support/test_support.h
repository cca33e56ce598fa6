// Helpers shared by the tests: scratch folders, whole-file I/O, polling and
// the local version server.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

// A new, empty folder under the temporary directory; the path ends in a backslash.
std::string MakeTempFolder();
void RemoveTree(const std::string& folder);

bool FileExists(const std::string& path);
void WriteBytes(const std::string& path, const std::string& bytes);
std::string ReadBytes(const std::string& path);
// text as Notepad saves a "Unicode" file: UTF-16 with its byte-order mark.
std::string Utf16File(const std::u16string& text, bool bigEndian);

// Polls condition every 20 ms until it holds or timeoutMs pass.
bool WaitFor(const std::function<bool()>& condition, int timeoutMs);

// Windows only: the local version server started by the test run
// (tools/version_server.py).
std::string ServerUrl(const std::string& route);
// Puts a document where the server serves it as /doc/name.
void ServeDocument(const std::string& name, const std::string& bytes);
// The lines of the server's request log that contain needle.
std::string LoggedRequests(const std::string& needle);
// Windows only: the bytes of a file that tests/support/make_signing_fixture.py made.
std::string SigningFile(const std::string& name);
// A name no other test uses, for documents and URLs.
std::string UniqueName(const char* prefix);

// Windows only: the number of threads of this process.
int ThreadCount();

// Windows only: a file's access rights as SDDL text ("D:(A;;FA;;;SY)...").
bool SetFileDacl(const std::string& path, const std::string& sddl);
std::string FileDacl(const std::string& path);

// What a shortcut file holds, read back through the shell link object.
struct LinkContents {
  bool loaded = false;
  std::string target;
  std::string icon;
  int iconIndex = -1;
  std::string description;
  unsigned showCommand = 0;
};
LinkContents ReadLink(const std::string& path);

// Each test runs with fresh application and desktop folders and restores the
// process-wide buffers it changed.
class FolderTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::string AppFile(const char* name) const { return app_ + name; }

  std::string app_;      // ends in a backslash
  std::string desktop_;  // no trailing backslash
  std::string root_;
  std::string savedBaseUrl_;
};
