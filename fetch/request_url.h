#pragma once

#include <cstdint>

#include "common/vexlo.h"

// out = baseUrl + "?time=" + the low 32 bits of now, read as a signed number.
// Returns false, leaving out empty, when the URL would not fit.
bool BuildRequestUrl(PathBuffer& out, const char* baseUrl, std::int64_t now);
