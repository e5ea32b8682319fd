// A private store for a fuzz target, made once per process and removed at exit.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/registry/registry.h"

namespace varolan::fuzz {

// Points $VAROLAN_REGISTRY at a store in a fresh directory named after `tag`:
// under $TMPDIR, else memory-backed when possible (every store call is a
// committed transaction), else /tmp.
inline void init_fuzz_store(const char* tag) {
    static bool done = false;
    if (done) {
        return;
    }
    done = true;
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = tmp != nullptr && *tmp != '\0'  ? tmp
                      : access("/dev/shm", W_OK) == 0 ? "/dev/shm"
                                                      : "/tmp";
    dir += std::string("/varolan-fuzz-") + tag + "-XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) {
        std::abort();
    }
    static std::string made;
    made = dir;
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(made, ec);
    });
    std::string file = dir + "/registry.db";
    setenv("VAROLAN_REGISTRY", file.c_str(), 1);
    reg::reset_store();
}

}  // namespace varolan::fuzz
