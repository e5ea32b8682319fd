#include "platform/registry/store_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <vector>

#include "platform/core/file_trust.h"
#include "platform/registry/registry.h"

namespace varolan::reg {

namespace {

namespace fs = std::filesystem;

constexpr const char* DEFAULT_STORE = "/var/lib/varolan/registry.db";
constexpr const char* DEFAULT_SERVICE_ACCOUNT = "varolan";
constexpr const char* SIDECARS[] = {"-wal", "-shm"};

// The directory the store file is in ("." for a bare file name).
fs::path store_dir(const std::string& path) {
    fs::path dir = fs::path(path).parent_path();
    return dir.empty() ? fs::path(".") : dir;
}

// The nearest level of `dir` that exists: where a missing directory would be made.
fs::path existing_level(fs::path dir) {
    std::error_code ec;
    while (!fs::exists(dir, ec) && dir.has_relative_path() && dir != dir.parent_path()) {
        dir = dir.parent_path();
        if (dir.empty()) {
            return fs::path(".");
        }
    }
    return dir;
}

void owner_only(const std::string& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) != 0) {
        ::chmod(file.c_str(), st.st_mode & 0700);  // not our file: the trust check says so
    }
}

struct Account {
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
};

// The service account when this process runs as root and the account exists.
std::optional<Account> trusted_service_account() {
    Account a;
    if (running_as_root() && account_ids(service_account(), &a.uid, &a.gid)) {
        return a;
    }
    return std::nullopt;
}

}  // namespace

std::string store_path() {
    const char* env = std::getenv("VAROLAN_REGISTRY");
    return env && *env ? std::string(env) : std::string(DEFAULT_STORE);
}

std::string service_account() {
    const char* env = std::getenv("VAROLAN_SERVICE_ACCOUNT");
    return env && *env ? std::string(env) : std::string(DEFAULT_SERVICE_ACCOUNT);
}

LONG prepare_store_file(const std::string& path, std::string& error) {
    std::error_code ec;
    const fs::path dir = fs::path(path).parent_path();
    if (!dir.empty() && !fs::is_directory(dir, ec)) {
        if (dir.has_parent_path()) {
            fs::create_directories(dir.parent_path(), ec);
        }
        if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
            ec = std::error_code(errno, std::generic_category());
        } else {
            ec.clear();
        }
        if (ec || !fs::is_directory(dir)) {
            error = "cannot create the directory of store file '" + path +
                    "': " + (ec ? ec.message() : std::string("not a directory"));
            return ERROR_PATH_NOT_FOUND;
        }
    }
    const int fd =
        ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd >= 0) {
        // The umask may have taken bits away; it never adds any.
        ::fchmod(fd, S_IRUSR | S_IWUSR);
        ::close(fd);
    }
    // Otherwise the file exists, or SQLite's open reports why it cannot be made.
    owner_only(path);
    for (const char* sidecar : SIDECARS) {
        owner_only(path + sidecar);
    }
    return ERROR_SUCCESS;
}

LONG check_store_present(const std::string& path, std::string& error) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        error = "store file '" + path + "' cannot be opened (" + std::strerror(errno) +
                "; tarnix install makes it)";
        return errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_CANTOPEN;
    }
    if (S_ISREG(st.st_mode) && st.st_size == 0) {
        error = "store file '" + path + "' is empty: it holds no configuration";
        return ERROR_BADDB;
    }
    return ERROR_SUCCESS;
}

std::string store_trust_problem() {
    const std::string path = store_path();
    const std::optional<Account> service = trusted_service_account();
    const std::int64_t also = service ? static_cast<std::int64_t>(service->uid) : -1;
    const fs::path dir = store_dir(path);
    const fs::path level = existing_level(dir);
    TrustProblem p = check_trusted(level.string(), "store directory", also);
    if (!p.found) {
        p = check_trusted(path, "store file", also);
    }
    for (const char* sidecar : SIDECARS) {
        if (!p.found) {
            p = check_trusted(path + sidecar, "store file", also);
        }
    }
    return p.text;
}

LONG give_store_to_service_account(std::string& done) {
    done.clear();
    const std::optional<Account> account = trusted_service_account();
    if (!account) {
        return ERROR_SUCCESS;
    }
    const std::string path = store_path();
    std::vector<std::string> files = {path};
    for (const char* sidecar : SIDECARS) {
        files.push_back(path + sidecar);
    }
    for (const std::string& file : files) {
        if (::chown(file.c_str(), account->uid, account->gid) != 0 && errno != ENOENT) {
            return ERROR_ACCESS_DENIED;
        }
    }
    done = "store file given to " + service_account();
    // The directory only when it is the store's own: holding nothing else.
    const fs::path dir = store_dir(path);
    std::error_code ec;
    bool own = true;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const std::string base = fs::path(path).filename().string();
        own = own && (name == base || name == base + "-wal" || name == base + "-shm" ||
                      name == base + "-journal");
    }
    if (!ec && own) {
        if (::chown(dir.c_str(), account->uid, account->gid) != 0) {
            return ERROR_ACCESS_DENIED;
        }
        done = "store file and directory given to " + service_account();
    }
    return ERROR_SUCCESS;
}

}  // namespace varolan::reg
