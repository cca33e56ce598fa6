// Writing the service's own files. The service runs as the local system
// account in a folder that other programs write to as well, so a file name
// that someone else has taken over (a link to a file elsewhere, a junction,
// a folder) must never lead its bytes anywhere else.
#pragma once

#include <string>

// Replaces folder + name with bytes. They are written to folder + tempName,
// a file created for the purpose, and then put in place by rename, keeping
// the old file's attributes and access rights, so that a crash leaves the old
// or the new content, never a part. The old file passes through folder +
// backupName on the way out, so that a replacement that fails half way can
// be finished or undone: the file always holds the old bytes or the new ones.
// When the rename is refused (the old file is held open without delete
// sharing) the file is rewritten in place, but only after it has been opened
// and found to be a plain file with a single name and no reparse point. Such
// a file loses its read-only mark first; hidden, system and archive stay.
// Returns false when nothing was written.
bool ReplaceFileContents(const char* folder, const char* name, const char* tempName,
                         const char* backupName, const std::string& bytes);

// The platform's ReplaceFileA with a backup name and its error on failure;
// tests put in its place one that fails half way, as Windows documents.
using ReplaceStep = bool (*)(const char* path, const char* tempPath, const char* backupPath,
                             unsigned long* error);
extern ReplaceStep g_replaceStep;
