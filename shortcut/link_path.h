#pragma once

#include "common/vexlo.h"

// The shortcut's file: desktopFolder, a backslash, the target's tail from its
// last backslash on, with the last three characters replaced by "lnk".
// Returns false, leaving out empty, when the target holds no backslash or the
// path would not fit.
bool FormLinkPath(PathBuffer& out, const char* desktopFolder, const char* target);
