// The gateway's key files and its known-hosts file.
#include <fcntl.h>
#include <libssh/libssh.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/ssh/ssh.h"
#include "platform/ssh/ssh_files.h"

namespace varolan::ssh {

namespace {

bool write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void set_error(char* error, const char* what, const char* path, int code) {
    std::snprintf(error, TEXT_SIZE, "%s %s: %s", what, path, std::strerror(code));
}

// Creates `path` with `mode`, never over an existing file or through a link,
// writes `text` and makes it durable. Made by root, the file gets the owner
// of `owner_like`, so that a key made for a service that runs under its own
// account is that account's.
bool create_file(const char* path, const std::string& text, mode_t mode, const char* owner_like,
                 char* error) {
    int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) {
        set_error(error, "cannot create", path, errno);
        return false;
    }
    bool ok =
        ::fchmod(fd, mode) == 0 && write_all(fd, text.data(), text.size()) && ::fsync(fd) == 0;
    int code = errno;
    if (ok && ::geteuid() == 0) {
        struct stat st {};
        if (::stat(owner_like, &st) == 0 && st.st_uid != 0) {
            ok = ::fchown(fd, st.st_uid, st.st_gid) == 0;
            code = errno;
        }
    }
    ::close(fd);
    if (!ok) {
        set_error(error, "cannot write", path, code);
        ::unlink(path);
    }
    return ok;
}

}  // namespace

KeyFile make_identity(const char* path, const char* owner_like, char* error) {
    struct stat st {};
    if (::lstat(path, &st) == 0) {
        return KeyFile::present;
    }
    ssh_key key = nullptr;
    if (ssh_pki_generate(SSH_KEYTYPE_ED25519, 0, &key) != SSH_OK) {
        std::snprintf(error, TEXT_SIZE, "cannot make an ed25519 key");
        return KeyFile::failed;
    }
    char* secret = nullptr;
    char* public_part = nullptr;
    KeyFile result = KeyFile::failed;
    if (ssh_pki_export_privkey_base64(key, nullptr, nullptr, nullptr, &secret) != SSH_OK ||
        ssh_pki_export_pubkey_base64(key, &public_part) != SSH_OK) {
        std::snprintf(error, TEXT_SIZE, "cannot export the new key");
    } else {
        char host[256] = {};
        ::gethostname(host, sizeof host - 1);
        std::string pub = std::string(ssh_key_type_to_char(ssh_key_type(key))) + " " + public_part +
                          " tarnix@" + host + "\n";
        std::string pub_path = std::string(path) + ".pub";
        ::unlink(pub_path.c_str());  // a stale public half of a key that is gone
        std::string text(secret);
        if (text.empty() || text.back() != '\n') {
            text += '\n';
        }
        if (create_file(path, text, 0600, owner_like, error)) {
            result = create_file(pub_path.c_str(), pub, 0644, owner_like, error) ? KeyFile::created
                                                                                 : KeyFile::failed;
        }
        explicit_bzero(text.data(), text.size());
    }
    if (secret != nullptr) {
        explicit_bzero(secret, std::strlen(secret));
        ssh_string_free_char(secret);
    }
    ssh_string_free_char(public_part);
    ssh_key_free(key);
    return result;
}

bool private_file(const char* path, bool readable_by_others_too, char* error) {
    struct stat st {};
    if (::lstat(path, &st) != 0) {
        if (errno == ENOENT) {
            return true;
        }
        set_error(error, "cannot check", path, errno);
        return false;
    }
    const mode_t others = readable_by_others_too ? 022 : 077;
    if (!S_ISREG(st.st_mode) || (st.st_uid != ::geteuid() && st.st_uid != 0) ||
        (st.st_mode & others) != 0) {
        std::snprintf(error, TEXT_SIZE, "%s is not this account's alone (owner %u, mode %03o)",
                      path, static_cast<unsigned>(st.st_uid),
                      static_cast<unsigned>(st.st_mode & 0777));
        return false;
    }
    return true;
}

bool append_known_host(const char* path, const char* line, char* error) {
    int fd = ::open(path, O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        set_error(error, "cannot open", path, errno);
        return false;
    }
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    int code = ok ? 0 : (errno != 0 ? errno : EINVAL);
    if (ok && (st.st_mode & 077) != 0 && st.st_uid == ::geteuid()) {
        ok = ::fchmod(fd, 0600) == 0;
        code = errno;
    }
    if (ok) {
        while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
        }
        // Whatever an administrator left without a line end stays a line of its own.
        std::string text;
        char last = '\n';
        if (::fstat(fd, &st) == 0 && st.st_size > 0 && ::pread(fd, &last, 1, st.st_size - 1) == 1 &&
            last != '\n') {
            text.push_back('\n');
        }
        text += line;
        if (text.empty() || text.back() != '\n') {
            text += '\n';
        }
        ok = write_all(fd, text.data(), text.size()) && ::fsync(fd) == 0;
        code = errno;
    }
    ::close(fd);
    if (!ok) {
        set_error(error, "cannot write", path, code);
    }
    return ok;
}

}  // namespace varolan::ssh
