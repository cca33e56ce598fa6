// Who may change a file or folder. The service runs as the system account
// from its folder: a standard user who may rename, delete or re-own that
// folder or one above it, delete what is in it, or write the exe, could
// swap what the system runs.
// clang-format off
#include "service/service.h"
#include <aclapi.h>
#include <sddl.h>
// clang-format on

#include <cstring>
#include <string>

namespace {

// What lets an account swap a folder or what is in it: its own deletion (a
// rename), deleting its children, or taking over its rights.
const DWORD kSwapRights = DELETE | WRITE_DAC | WRITE_OWNER | FILE_DELETE_CHILD | GENERIC_ALL;
// What lets an account put a file of its own in a folder, or change a file
// (the same bits: FILE_ADD_FILE is FILE_WRITE_DATA, FILE_ADD_SUBDIRECTORY is
// FILE_APPEND_DATA).
const DWORD kWriteRights = kSwapRights | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_WRITE_EA |
                           FILE_WRITE_ATTRIBUTES | GENERIC_WRITE;

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
  BYTE known[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof known;
  return CreateWellKnownSid(type, nullptr, known, &size) && EqualSid(sid, known);
}

bool IsTokenSid(PSID sid, TOKEN_INFORMATION_CLASS kind) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  BYTE buffer[256];
  DWORD size = 0;
  bool same = false;
  if (GetTokenInformation(token, kind, buffer, sizeof buffer, &size)) {
    PSID own = kind == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid
                                 : reinterpret_cast<TOKEN_OWNER*>(buffer)->Owner;
    same = EqualSid(sid, own) != FALSE;
  }
  CloseHandle(token);
  return same;
}

// The system, the administrators, Windows' own installer account, and the
// elevated account this process runs as (the owner of what it makes).
bool IsTrusted(PSID sid) {
  if (IsWellKnown(sid, WinLocalSystemSid) || IsWellKnown(sid, WinBuiltinAdministratorsSid) ||
      IsTokenSid(sid, TokenUser) || IsTokenSid(sid, TokenOwner)) {
    return true;
  }
  LPSTR text = nullptr;
  if (!ConvertSidToStringSidA(sid, &text)) return false;
  const bool installer =
      std::strcmp(text, "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464") == 0;
  LocalFree(text);
  return installer;
}

std::string AccountName(PSID sid) {
  char name[256], domain[256];
  DWORD nameSize = sizeof name, domainSize = sizeof domain;
  SID_NAME_USE use;
  if (LookupAccountSidA(nullptr, sid, name, &nameSize, domain, &domainSize, &use)) {
    return domain[0] != '\0' ? std::string(domain) + "\\" + name : std::string(name);
  }
  LPSTR text = nullptr;
  if (!ConvertSidToStringSidA(sid, &text)) return "an unknown account";
  std::string account = text;
  LocalFree(text);
  return account;
}

}  // namespace

std::string WhoElseMayChange(const std::string& path, bool write, bool inherited) {
  const DWORD rights = write ? kWriteRights : kSwapRights;
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return "it cannot be read";
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return "it is a link or junction to another place";
  }
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR security = nullptr;
  if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                            &dacl, nullptr, &security) != ERROR_SUCCESS) {
    return "its access rights cannot be read";
  }
  std::string who;
  if (owner == nullptr || !IsTrusted(owner)) {
    who = "it belongs to " + (owner == nullptr ? std::string("no one") : AccountName(owner));
  } else if (dacl == nullptr) {
    who = "it has no access list: everyone may change it";
  }
  for (DWORD i = 0; who.empty() && i < dacl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&header)) ||
        header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
      continue;
    }
    const auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
    PSID sid = const_cast<DWORD*>(&ace->SidStart);
    const bool inheritOnly = (header->AceFlags & INHERIT_ONLY_ACE) != 0;
    // The creator's entry applies to the creator of a child, who owns it.
    if ((inheritOnly && !inherited) || IsWellKnown(sid, WinCreatorOwnerSid) || IsTrusted(sid) ||
        (ace->Mask & rights) == 0) {
      continue;
    }
    who = AccountName(sid) + ((ace->Mask & kSwapRights) != 0
                                  ? " may delete, rename or take over what is in it"
                                  : " may write in it");
  }
  LocalFree(security);
  return who;
}

std::string FolderOthersMaySwap(const std::string& path, std::string* who) {
  for (std::size_t at = path.find_last_of('\\'); at != std::string::npos && at >= 2;
       at = at == 2 ? std::string::npos : path.find_last_of('\\', at - 1)) {
    const std::string folder = path.substr(0, at + 1);
    if (GetFileAttributesA(folder.c_str()) == INVALID_FILE_ATTRIBUTES) continue;
    *who = WhoElseMayChange(folder, false, false);
    if (!who->empty()) return folder;
  }
  who->clear();
  return std::string();
}

bool ExecutableIsSafe(const char* exePath, std::string* why) {
  std::string who = WhoElseMayChange(exePath, true, false);
  std::string named = exePath;
  if (who.empty()) named = FolderOthersMaySwap(exePath, &who);
  if (!who.empty()) *why = named + ": " + who;
  return who.empty();
}
