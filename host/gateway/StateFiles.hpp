// The small files the gateway keeps in its state directory (its device token, its local
// authority and server certificate): read whole, and written aside and renamed into place
// with their mode set whatever the umask, so that a reader, another process included, never
// sees half a key or a key readable by others. Thread-safe (no state of its own).
#pragma once

#include <sys/types.h>
#include <string>

#include "Foundation/NSError.hpp"

namespace host::gateway {

// The file's bytes, at most 1 MiB; an error names the call that failed.
foundation::Result<std::string> readStateFile(const std::string& path);

// Writes `bytes` to a new file beside `path` with `mode`, syncs it and renames it onto `path`.
foundation::Status writeStateFile(const std::string& path, const std::string& bytes, mode_t mode);

}  // namespace host::gateway
