// The status code that stands for an errno value, for every platform layer.
#pragma once

#include <cerrno>
#include <cstring>

#include "platform/core/winerror.h"

namespace varolan {

// The meanings every layer shares. A layer whose errors mean something of its
// own (a reset connection is a broken pipe, say) maps those first and hands the
// rest to this function.
inline DWORD status_from_errno(int err) {
    switch (err) {
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
            return ERROR_ACCESS_DENIED;
        case ENOMEM:
        case ENOBUFS:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case ENAMETOOLONG:
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        default:
            return ERROR_GEN_FAILURE;
    }
}

// The system's description of an errno value ("Too many open files"), for
// messages and the log. Thread-safe.
inline const char* system_error_text(int err) {
    const char* text = strerrordesc_np(err);
    return text != nullptr ? text : "unknown error";
}

}  // namespace varolan
