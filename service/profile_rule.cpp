// The rule by place behind -install's check: in a user's profile the user's
// own programs, unelevated, may rename a folder above the exe and put
// another in its place, whatever the rights of the folders below.
#include "service/profile_rule.h"

namespace {

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

// The folder without the separators it ends with ("C:\" stays "C:").
std::size_t TrimmedLength(const std::u16string& folder) {
  std::size_t length = folder.size();
  while (length > 0 && IsSeparator(folder[length - 1])) --length;
  return length;
}

}  // namespace

bool LiesIn(const std::u16string& path, const std::u16string& folder) {
  const std::size_t length = TrimmedLength(folder);
  if (length == 0 || path.size() < length || path.compare(0, length, folder, 0, length) != 0) {
    return false;
  }
  return path.size() == length || IsSeparator(path[length]);
}

std::size_t ClosestHolder(const std::u16string& path, const std::vector<std::u16string>& folders) {
  std::size_t closest = std::u16string::npos;
  for (std::size_t i = 0; i < folders.size(); ++i) {
    if (LiesIn(path, folders[i]) && (closest == std::u16string::npos ||
                                     TrimmedLength(folders[i]) > TrimmedLength(folders[closest]))) {
      closest = i;
    }
  }
  return closest;
}

bool IsSystemAccountProfile(const std::u16string& sid) {
  return sid == u"S-1-5-18" || sid == u"S-1-5-19" || sid == u"S-1-5-20";
}
