// The journal of a run: what it is about to change on the test PC and every
// original value as read, written through before each change, so that a run
// cut off at any moment (killed, a crash, a power cut) can be finished by
// the next one. It lives where only administrators and the system can
// write: a standard user who could plant or redirect it would choose what
// the elevated kit deletes and what it writes back.
// clang-format off
#include "selftest/kit_pc.h"
#include <shlobj.h>
// clang-format on

#include <cstring>
#include <vector>

namespace {

std::string s_folder;  // ending in a backslash
std::string s_text;    // the journal as written so far
std::vector<JournalRecord> s_records;

const char kDigits[] = "0123456789abcdef";

std::string Hex(const std::string& bytes) {
  std::string hex;
  for (unsigned char c : bytes) hex += kDigits[c >> 4], hex += kDigits[c & 15];
  return hex.empty() ? "-" : hex;
}

bool Unhex(const std::string& hex, std::string* bytes) {
  bytes->clear();
  if (hex == "-") return true;
  if (hex.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const char* high = std::strchr(kDigits, hex[i]);
    const char* low = std::strchr(kDigits, hex[i + 1]);
    if (high == nullptr || low == nullptr || hex[i] == '\0' || hex[i + 1] == '\0') return false;
    *bytes += static_cast<char>((high - kDigits) << 4 | (low - kDigits));
  }
  return true;
}

std::string Line(const JournalRecord& record) {
  std::string line = record[0];
  for (std::size_t i = 1; i < record.size(); ++i) line += " " + Hex(record[i]);
  return line + "\r\n";
}

// A temporary file, flushed, then renamed over the journal: a cut at any
// moment leaves the old journal or the new one, whole.
bool WriteThrough(const std::string& text) {
  const std::string temp = s_folder + "journal.tmp";
  const std::string journal = s_folder + "journal.txt";
  DeleteFileA(temp.c_str());  // a name only: never written through
  HANDLE file = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool whole =
      WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
      written == text.size() && FlushFileBuffers(file);
  CloseHandle(file);
  return whole && MoveFileExA(temp.c_str(), journal.c_str(),
                              MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

// Reads the journal left by an earlier run, refusing a file a standard user
// could have put there under another name (a hard link) or a link.
bool ReadJournal(bool* found, std::string* why) {
  const std::string journal = s_folder + "journal.txt";
  HANDLE file = CreateFileA(journal.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  *found = file != INVALID_HANDLE_VALUE;
  if (!*found) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return true;
    *why = "the journal " + journal + " cannot be read (error " + std::to_string(error) + ")";
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info = {};
  const bool plain =
      GetFileInformationByHandle(file, &info) && info.nNumberOfLinks == 1 &&
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0 &&
      info.nFileSizeHigh == 0 && info.nFileSizeLow < (1u << 24);
  std::string text(plain ? info.nFileSizeLow : 0, '\0');
  DWORD read = 0;
  const bool whole =
      plain &&
      (text.empty() || (ReadFile(file, &text[0], static_cast<DWORD>(text.size()), &read, nullptr) &&
                        read == text.size()));
  CloseHandle(file);
  if (!plain) {
    *why = journal + " is a link or has more than one name (a hard link): it was not written " +
           "by this kit; delete it and run again";
    return false;
  }
  if (!whole) {
    *why = "the journal " + journal + " cannot be read";
    return false;
  }
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find("\r\n", at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    at = end + 2;
    JournalRecord record;
    for (std::size_t start = 0; start <= line.size();) {
      std::size_t space = line.find(' ', start);
      if (space == std::string::npos) space = line.size();
      std::string field = line.substr(start, space - start);
      std::string bytes;
      if (!record.empty() && !Unhex(field, &bytes)) {
        *why = "the journal " + journal + " is damaged: " + line.substr(0, 60);
        return false;
      }
      record.push_back(record.empty() ? field : bytes);
      start = space + 1;
    }
    if (!record.empty() && !record[0].empty()) s_records.push_back(record);
  }
  s_text = text;
  return true;
}

}  // namespace

bool OpenJournal(bool* found, std::string* why) {
  char data[MAX_PATH];
  if (FAILED(SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, data))) {
    *why = "the common application data folder was not found";
    return false;
  }
  s_folder = std::string(data) + "\\Vexlo Self-Test\\";
  if (!MakeAdminFolder(s_folder.substr(0, s_folder.size() - 1), why)) return false;
  return ReadJournal(found, why);
}

const std::vector<JournalRecord>& JournalRecords() { return s_records; }

std::string JournalPath() { return s_folder + "journal.txt"; }

bool Journal(const JournalRecord& record) {
  std::string text = s_text + Line(record);
  if (!WriteThrough(text)) return false;
  s_text = text;
  s_records.push_back(record);
  return true;
}

bool CloseJournal() {
  s_text.clear();
  s_records.clear();
  const bool gone = DeleteFileA(JournalPath().c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
  // The folder too, once empty: the next run makes and checks it again.
  if (gone) RemoveDirectoryA(s_folder.c_str());
  return gone;
}
