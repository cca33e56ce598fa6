// Who may swap what the system account runs, decided from rights already
// read: accounts and entries as their SID strings, so that tests can feed
// rights that Wine cannot make.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The access bits and entry flags, as the platform's headers number them
// (folder_rights.cpp checks that they agree).
namespace rights_bits {
constexpr std::uint32_t kDelete = 0x00010000;
constexpr std::uint32_t kWriteDac = 0x00040000;
constexpr std::uint32_t kWriteOwner = 0x00080000;
constexpr std::uint32_t kGenericAll = 0x10000000;
constexpr std::uint32_t kGenericWrite = 0x40000000;
constexpr std::uint32_t kDeleteChild = 0x0040;      // FILE_DELETE_CHILD
constexpr std::uint32_t kAddFile = 0x0002;          // on a file, FILE_WRITE_DATA
constexpr std::uint32_t kAddSubdirectory = 0x0004;  // on a file, FILE_APPEND_DATA
constexpr std::uint32_t kWriteEa = 0x0010;
constexpr std::uint32_t kWriteAttributes = 0x0100;
constexpr std::uint8_t kInheritOnly = 0x08;  // INHERIT_ONLY_ACE
}  // namespace rights_bits

// One entry that allows access (the entries that deny are left out: they
// could only take rights away).
struct AllowedEntry {
  std::string sid;
  std::uint32_t mask;
  std::uint8_t flags;
};

// An object's owner (empty: none) and its access list.
struct ObjectRights {
  std::string owner;
  bool hasAccessList = true;
  std::vector<AllowedEntry> allowed;
};

// Why someone other than those trusted may swap an object, in the order the
// rule looks: its owner first, then its access list.
enum class RightsReason {
  kOnlyTrusted,  // no one else
  kNoOwner,
  kOwnedByOther,    // sid: the owner
  kNoAccessList,    // everyone may change it
  kOtherMayDelete,  // sid: may delete, rename or take over it or what is in it
  kOtherMayWrite,   // sid: may put files in it or change it
};

struct RightsFinding {
  RightsReason reason;
  std::string sid;
};

// Who the rule trusts besides the system, the administrators, Windows' own
// installer account and the service's own SID: the installing account, but
// only when installingUserCounts (see InstallingUserCounts).
struct InstallingAccount {
  std::string user;
  bool counts;
};

// The first account other than those trusted that may swap the object:
// rename, delete or re-own it, change its rights, delete its children, and
// with write also put files in it or change it; inherited: entries that only
// children inherit count too.
RightsFinding JudgeRights(const ObjectRights& rights, const InstallingAccount& installer,
                          bool write, bool inherited);

// Whether the installing user's own SID may be trusted. With UAC an
// administrator's unelevated programs run under the same user SID as the
// elevated installer, so whatever that SID may change, they may change.
// The SID counts only where there is no such twin (noLinkedToken: UAC off,
// the built-in Administrator, the system account), or where that SID may
// already swap the system folder itself, where nothing refused here could
// protect more.
bool InstallingUserCounts(const std::string& user, bool noLinkedToken,
                          const ObjectRights& systemFolder);
