#include "platform/sysinfo/sysinfo.h"

#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/core/errno_status.h"

namespace varolan::sysinfo {

namespace {

// File system kinds whose free space belongs to another machine.
bool is_network_fs(unsigned long type) {
    switch (type) {
        case 0x6969UL:      // NFS
        case 0x517BUL:      // SMB
        case 0xFF534D42UL:  // CIFS
        case 0xFE534D42UL:  // SMB2
        case 0x564CUL:      // NCP
        case 0x65735546UL:  // FUSE (sshfs and friends)
        case 0x6B414653UL:  // AFS
        case 0x00C36400UL:  // Ceph
            return true;
        default:
            return false;
    }
}

}  // namespace

DWORD total_physical_memory(std::uint64_t* bytes) {
    struct sysinfo info {};
    if (::sysinfo(&info) != 0) {
        return status_from_errno(errno);
    }
    const std::uint64_t unit = info.mem_unit == 0 ? 1 : info.mem_unit;
    *bytes = static_cast<std::uint64_t>(info.totalram) * unit;
    return ERROR_SUCCESS;
}

DWORD current_directory(std::string* path) {
    std::vector<char> buffer(4096);
    for (;;) {
        if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
            *path = buffer.data();
            return ERROR_SUCCESS;
        }
        if (errno != ERANGE || buffer.size() >= (1u << 20)) {
            return status_from_errno(errno);
        }
        buffer.resize(buffer.size() * 2);
    }
}

DWORD free_disk_space(const std::string& path, std::uint64_t* bytes) {
    struct statfs fs {};
    int rc;
    do {
        rc = ::statfs(path.c_str(), &fs);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        return status_from_errno(errno);
    }
    if (is_network_fs(static_cast<unsigned long>(fs.f_type))) {
        return ERROR_NOT_SUPPORTED;
    }
    struct statvfs vfs {};
    do {
        rc = ::statvfs(path.c_str(), &vfs);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        return status_from_errno(errno);
    }
    const std::uint64_t unit = vfs.f_frsize != 0 ? vfs.f_frsize : vfs.f_bsize;
    *bytes = static_cast<std::uint64_t>(vfs.f_bavail) * unit;
    return ERROR_SUCCESS;
}

}  // namespace varolan::sysinfo
