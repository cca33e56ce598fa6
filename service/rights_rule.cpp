// The rule by rights behind -install's check and the kit's folder checks.
#include "service/rights_rule.h"

#include <algorithm>
#include <iterator>

namespace {

// What lets an account swap a folder or what is in it: its own deletion (a
// rename), deleting its children, or taking over its rights.
constexpr std::uint32_t kSwapRights = rights_bits::kDelete | rights_bits::kWriteDac |
                                      rights_bits::kWriteOwner | rights_bits::kDeleteChild |
                                      rights_bits::kGenericAll;
// What lets an account put a file of its own in a folder, or change a file.
constexpr std::uint32_t kWriteRights = kSwapRights | rights_bits::kAddFile |
                                       rights_bits::kAddSubdirectory | rights_bits::kWriteEa |
                                       rights_bits::kWriteAttributes | rights_bits::kGenericWrite;

// The system, the administrators, Windows' own installer account and the
// service's own SID ("NT SERVICE\VexloService": S-1-5-80 followed by the
// SHA-1 of the upper-case name in UTF-16LE as five little-endian numbers,
// the same derivation that gives TrustedInstaller's).
constexpr const char* kTrustedSids[] = {
    "S-1-5-18",
    "S-1-5-32-544",
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
    "S-1-5-80-3938621841-3365918949-289634429-3408200342-712616243",
};
// An entry for the creator applies to whoever creates a child, who then owns
// it and is judged as its owner; on the object itself no token holds it.
constexpr char kCreatorOwner[] = "S-1-3-0";

bool IsTrusted(const std::string& sid, const InstallingAccount& installer) {
  const auto same = [&sid](const char* trusted) { return sid == trusted; };
  if (std::any_of(std::begin(kTrustedSids), std::end(kTrustedSids), same)) return true;
  return installer.counts && !installer.user.empty() && sid == installer.user;
}

}  // namespace

RightsFinding JudgeRights(const ObjectRights& rights, const InstallingAccount& installer,
                          bool write, bool inherited) {
  if (rights.owner.empty()) return {RightsReason::kNoOwner, std::string()};
  if (!IsTrusted(rights.owner, installer)) return {RightsReason::kOwnedByOther, rights.owner};
  if (!rights.hasAccessList) return {RightsReason::kNoAccessList, std::string()};
  const std::uint32_t wanted = write ? kWriteRights : kSwapRights;
  for (const AllowedEntry& entry : rights.allowed) {
    const bool inheritOnly = (entry.flags & rights_bits::kInheritOnly) != 0;
    if ((inheritOnly && !inherited) || entry.sid == kCreatorOwner || (entry.mask & wanted) == 0 ||
        IsTrusted(entry.sid, installer)) {
      continue;
    }
    return {(entry.mask & kSwapRights) != 0 ? RightsReason::kOtherMayDelete
                                            : RightsReason::kOtherMayWrite,
            entry.sid};
  }
  return {RightsReason::kOnlyTrusted, std::string()};
}

bool InstallingUserCounts(const std::string& user, bool noLinkedToken,
                          const ObjectRights& systemFolder) {
  if (noLinkedToken) return true;
  if (user.empty()) return false;
  if (systemFolder.owner == user) return true;
  return std::any_of(systemFolder.allowed.begin(), systemFolder.allowed.end(),
                     [&user](const AllowedEntry& entry) {
                       return entry.sid == user && (entry.flags & rights_bits::kInheritOnly) == 0 &&
                              (entry.mask & kSwapRights) != 0;
                     });
}
