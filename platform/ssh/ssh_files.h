// Files of the SSH layer (internal to platform/ssh).
#pragma once

namespace varolan::ssh {

// Appends `line` (one known-hosts entry) to `path` with one write under an
// exclusive lock, creating the file owner-only when it is missing and making
// an existing one owner-only. `error` (TEXT_SIZE bytes) says why on failure.
bool append_known_host(const char* path, const char* line, char* error);

// True when `path` is missing, or is a regular file of this account (or root)
// that no other account may write (nor read, unless `readable_by_others_too`).
// A key others could read, or a known-hosts file others could write, is not
// used. `error` (TEXT_SIZE bytes) says why not.
bool private_file(const char* path, bool readable_by_others_too, char* error);

}  // namespace varolan::ssh
