#include <windows.h>

#include <cstring>

#include "shortcut/shell_link_ids.h"
#include "shortcut/shortcut.h"

namespace {


// The shell link file's fixed header (its published format): its size, the
// class of the shell link object, and the show command at offset 0x3C.
const DWORD kHeaderSize = 0x4C;
const DWORD kShowCommandOffset = 0x3C;
const unsigned char kShellLinkClassBytes[16] = {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                           0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
// Every whole file ends with the terminal block, four zero bytes.
const DWORD kTerminalBlockSize = 4;

// The header and the end of the file: a file cut short loses its terminal
// block. The show command is read here because Wine's GetShowCmd after a
// load always answers 1.
bool ReadFrame(const wchar_t* linkPath, unsigned* showCommand) {
  HANDLE file =
      CreateFileW(linkPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  unsigned char header[kHeaderSize];
  unsigned char tail[kTerminalBlockSize] = {1, 1, 1, 1};
  DWORD read = 0;
  LARGE_INTEGER size = {};
  LARGE_INTEGER tailAt = {};
  bool whole = GetFileSizeEx(file, &size) && size.QuadPart >= kHeaderSize + kTerminalBlockSize &&
               ReadFile(file, header, kHeaderSize, &read, nullptr) && read == kHeaderSize;
  tailAt.QuadPart = size.QuadPart - kTerminalBlockSize;
  whole = whole && SetFilePointerEx(file, tailAt, nullptr, FILE_BEGIN) &&
          ReadFile(file, tail, kTerminalBlockSize, &read, nullptr) && read == kTerminalBlockSize;
  CloseHandle(file);
  DWORD headerSize = 0;
  DWORD show = 0;
  std::memcpy(&headerSize, header, sizeof headerSize);
  std::memcpy(&show, header + kShowCommandOffset, sizeof show);
  if (!whole || headerSize != kHeaderSize ||
      std::memcmp(header + 4, kShellLinkClassBytes, sizeof kShellLinkClassBytes) != 0 || tail[0] != 0 ||
      tail[1] != 0 || tail[2] != 0 || tail[3] != 0) {
    return false;
  }
  *showCommand = show;
  return true;
}

}  // namespace

bool ReadShortcut(const wchar_t* linkPath, ShortcutFields* fields) {
  ShortcutFields read;
  if (!ReadFrame(linkPath, &read.showCommand)) return false;

  IShellLinkWPtr link;
  IShellLinkW* created = nullptr;
  const HRESULT made = CoCreateInstance(kShellLinkClass, nullptr, CLSCTX_INPROC_SERVER,
                                        kShellLinkW, reinterpret_cast<void**>(&created));
  link.Attach(created);
  if (FAILED(made) || !link) return false;
  IPersistFilePtr file;
  IPersistFile* persist = nullptr;
  if (FAILED(link->QueryInterface(kPersistFile, reinterpret_cast<void**>(&persist)))) {
    return false;
  }
  file.Attach(persist);
  if (FAILED(file->Load(linkPath, STGM_READ | STGM_SHARE_DENY_NONE))) return false;

  // One unit more than any value the service writes, so that a longer one
  // read back cut short still differs.
  wchar_t text[INFOTIPSIZE + 1] = L"";
  // The path as it was set, not one the shell resolved since.
  if (FAILED(link->GetPath(text, MAX_PATH + 1, nullptr, SLGP_RAWPATH))) return false;
  read.target = text;
  text[0] = L'\0';
  if (FAILED(link->GetDescription(text, INFOTIPSIZE + 1))) return false;
  read.description = text;
  text[0] = L'\0';
  int index = 0;
  if (FAILED(link->GetIconLocation(text, MAX_PATH + 1, &index))) return false;
  read.icon = text;
  read.iconIndex = index;
  *fields = read;
  return true;
}
