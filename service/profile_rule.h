// Whether the service's exe lies in a user's profile, decided from paths
// already made full, long and folded to one case by the platform (an 8.3
// name or a ".." must not dodge the rule). Free of Windows headers.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Whether path is folder itself or lies below it, whole name by whole name
// (C:\Users\Ann holds C:\Users\Ann\x, never C:\Users\Anna).
bool LiesIn(const std::u16string& path, const std::u16string& folder);

// The folder of folders that holds path most closely (the user's own
// profile before the folder of all profiles), or npos when none does.
std::size_t ClosestHolder(const std::u16string& path, const std::vector<std::u16string>& folders);

// Whether a profile listed under this SID is one of the system's own
// accounts (the system, local service, network service): those lie below
// the system folder, where no user's programs may write.
bool IsSystemAccountProfile(const std::u16string& sid);
