// Who may change a folder the kit uses. The service runs as the system
// account from the client folder, and the kit acts on its journal with an
// administrator's rights: a standard user who may rename, delete or re-own a
// folder above either, or delete what is in it, could swap the tree under
// the kit and have the system run or remove what he chose.
// clang-format off
#include "selftest/kit_pc.h"
#include <sddl.h>
// clang-format on

#include "service/service.h"

std::string WhoMaySwap(const std::string& folder) { return WhoElseMayChange(folder, false, false); }

bool ParentsAreSafe(const std::string& folder, std::string* why) {
  // From the nearest folder that is there above it up to the drive's root.
  std::string who;
  const std::string parent = FolderOthersMaySwap(folder.substr(0, folder.size() - 1), &who);
  if (who.empty()) return true;
  *why = parent + " is not only the administrators': " + who +
         ". The service runs as the system from below it; choose a --folder under a folder "
         "only administrators can change (Program Files, or a new folder in C:\\)";
  return false;
}

bool MakeAdminFolder(const std::string& folder, std::string* why) {
  if (GetFileAttributesA(folder.c_str()) == INVALID_FILE_ATTRIBUTES) {
    // Owned by the administrators where Windows lets the kit say so.
    for (const char* sddl :
         {"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"}) {
      PSECURITY_DESCRIPTOR security = nullptr;
      if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &security,
                                                                nullptr)) {
        continue;
      }
      SECURITY_ATTRIBUTES attributes = {sizeof attributes, security, FALSE};
      const bool made = CreateDirectoryA(folder.c_str(), &attributes) != FALSE;
      LocalFree(security);
      if (made) break;
    }
  }
  const std::string who = WhoElseMayChange(folder, true, true);
  if (!who.empty()) {
    *why = "the kit's journal folder " + folder + " is not only the administrators' and the " +
           "system's: " + who + ". A standard user could plant or redirect the journal; " +
           "delete the folder (as administrator) and run again";
    return false;
  }
  return true;
}
