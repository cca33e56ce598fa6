// Who may change a file or folder. The service runs as the system account
// from its folder: a standard user who may rename, delete or re-own that
// folder or one above it, delete what is in it, or write the exe, could
// swap what the system runs. This file reads the rights and the installing
// account's token; rights_rule.cpp decides.
// clang-format off
#include "service/service.h"
#include <aclapi.h>
#include <sddl.h>
// clang-format on

#include <string>

#include "service/rights_rule.h"

namespace {

static_assert(rights_bits::kDelete == DELETE && rights_bits::kWriteDac == WRITE_DAC &&
                  rights_bits::kWriteOwner == WRITE_OWNER &&
                  rights_bits::kGenericAll == GENERIC_ALL &&
                  rights_bits::kGenericWrite == GENERIC_WRITE &&
                  rights_bits::kDeleteChild == FILE_DELETE_CHILD &&
                  rights_bits::kAddFile == FILE_ADD_FILE &&
                  rights_bits::kAddSubdirectory == FILE_ADD_SUBDIRECTORY &&
                  rights_bits::kWriteEa == FILE_WRITE_EA &&
                  rights_bits::kWriteAttributes == FILE_WRITE_ATTRIBUTES &&
                  rights_bits::kInheritOnly == INHERIT_ONLY_ACE,
              "the rule's access bits are the platform's");

std::string SidText(PSID sid) {
  LPSTR text = nullptr;
  if (sid == nullptr || !ConvertSidToStringSidA(sid, &text)) return std::string();
  std::string result = text;
  LocalFree(text);
  return result;
}

std::string AccountName(const std::string& sidText) {
  PSID sid = nullptr;
  if (!ConvertStringSidToSidA(sidText.c_str(), &sid)) return sidText;
  char name[256], domain[256];
  DWORD nameSize = sizeof name, domainSize = sizeof domain;
  SID_NAME_USE use;
  std::string account = sidText;
  if (LookupAccountSidA(nullptr, sid, name, &nameSize, domain, &domainSize, &use)) {
    account = domain[0] != '\0' ? std::string(domain) + "\\" + name : std::string(name);
  }
  LocalFree(sid);
  return account;
}

// The owner and the entries that allow access. A conditional entry counts
// as if its condition held: it has the same layout as a plain one.
bool ReadRights(const std::string& path, ObjectRights* rights) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR security = nullptr;
  if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                            &dacl, nullptr, &security) != ERROR_SUCCESS) {
    return false;
  }
  rights->owner = SidText(owner);
  rights->hasAccessList = dacl != nullptr;
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&header)) ||
        (header->AceType != ACCESS_ALLOWED_ACE_TYPE &&
         header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE)) {
      continue;
    }
    const auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
    PSID sid = const_cast<DWORD*>(&ace->SidStart);
    rights->allowed.push_back({SidText(sid), ace->Mask, header->AceFlags});
  }
  LocalFree(security);
  return true;
}

// The account this process runs as, and whether it counts as trusted: with
// UAC the same user SID is in the unelevated token of every program the
// user starts, so it counts only without such a twin, or where it may
// already change the system folder (as the one Wine user may).
const InstallingAccount& Installer() {
  static const InstallingAccount installer = [] {
    InstallingAccount account = {std::string(), false};
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return account;
    BYTE buffer[256];
    DWORD size = 0;
    if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size)) {
      account.user = SidText(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
    }
    TOKEN_ELEVATION_TYPE elevation = TokenElevationTypeFull;
    const bool noTwin =
        GetTokenInformation(token, TokenElevationType, &elevation, sizeof elevation, &size) &&
        elevation == TokenElevationTypeDefault;
    CloseHandle(token);
    char system[MAX_PATH];
    const UINT length = GetSystemDirectoryA(system, sizeof system);
    ObjectRights systemFolder;
    if (length == 0 || length >= sizeof system || !ReadRights(system, &systemFolder)) {
      systemFolder = ObjectRights();
    }
    account.counts = InstallingUserCounts(account.user, noTwin, systemFolder);
    return account;
  }();
  return installer;
}

// What the finding means, in words, for the event log and the kit's report.
std::string Words(const RightsFinding& finding) {
  const InstallingAccount& installer = Installer();
  std::string who = finding.sid.empty() ? std::string() : AccountName(finding.sid);
  if (!finding.sid.empty() && finding.sid == installer.user) {
    who += " (the installing account, whose programs also run unelevated)";
  }
  switch (finding.reason) {
    case RightsReason::kOnlyTrusted:
      return std::string();
    case RightsReason::kNoOwner:
      return "it belongs to no one";
    case RightsReason::kOwnedByOther:
      return "it belongs to " + who;
    case RightsReason::kNoAccessList:
      return "it has no access list: everyone may change it";
    case RightsReason::kOtherMayDelete:
      return who + " may delete, rename or take over what is in it";
    case RightsReason::kOtherMayWrite:
      return who + " may write in it";
  }
  return "its access rights cannot be read";
}

}  // namespace

std::string WhoElseMayChange(const std::string& path, bool write, bool inherited) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return "it cannot be read";
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return "it is a link or junction to another place";
  }
  ObjectRights rights;
  if (!ReadRights(path, &rights)) return "its access rights cannot be read";
  return Words(JudgeRights(rights, Installer(), write, inherited));
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
  *why = InUserProfile(exePath);
  if (!why->empty()) return false;
  std::string who = WhoElseMayChange(exePath, true, false);
  std::string named = exePath;
  if (who.empty()) named = FolderOthersMaySwap(exePath, &who);
  if (!who.empty()) *why = "other users may change " + named + ": " + who;
  return who.empty();
}
