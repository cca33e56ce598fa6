// Joining into path buffers. A path that does not fit is refused, never cut
// short: a truncated path would name some other file.
#pragma once

#include "common/vexlo.h"

// out = folder followed by name. Returns false, leaving out empty, when the
// result with its terminator would exceed the buffer.
bool JoinPath(PathBuffer& out, const char* folder, const char* name);

// out = text. Returns false, leaving out empty, when text does not fit.
bool CopyPath(PathBuffer& out, const char* text);
