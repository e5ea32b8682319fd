// The configuration store: one HKEY_LOCAL_MACHINE hive kept in a SQLite file
// ($VAROLAN_REGISTRY, default /var/lib/varolan/registry.db), with the semantics
// of the registry calls the gateway and the utility were designed against.
// Every call opens its own transaction; several processes may share the file.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/winerror.h"

namespace varolan::reg {

// Access rights (checked on every call made through a handle).
inline constexpr DWORD KEY_QUERY_VALUE = 0x0001;
inline constexpr DWORD KEY_SET_VALUE = 0x0002;
inline constexpr DWORD KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr DWORD KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr DWORD KEY_NOTIFY = 0x0010;
inline constexpr DWORD KEY_CREATE_LINK = 0x0020;
inline constexpr DWORD KEY_READ = 0x20019;
inline constexpr DWORD KEY_WRITE = 0x20006;
inline constexpr DWORD KEY_ALL_ACCESS = 0xF003F;

// Value types.
inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_MULTI_SZ = 7;

// Dispositions reported by create_key.
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

class KeyState;  // defined by the implementation

// An open key. Move-only; closing is RAII (close() closes early).
// A default-constructed Key stands for HKEY_LOCAL_MACHINE when passed as parent.
class Key {
  public:
    Key();
    ~Key();
    Key(Key&&) noexcept;
    Key& operator=(Key&&) noexcept;
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;

    bool is_open() const { return state_ != nullptr; }
    void close();
    // Backslash path from HKEY_LOCAL_MACHINE as the key was opened.
    std::string path() const;
    DWORD access() const;

    KeyState* state() const { return state_.get(); }
    explicit Key(std::unique_ptr<KeyState> state);

  private:
    std::unique_ptr<KeyState> state_;
};

// HKEY_LOCAL_MACHINE as a parent: pass `hklm()` (an empty Key).
inline const Key& hklm() {
    static const Key root;
    return root;
}

// RegCreateKeyEx: opens `subkey` below `parent`, creating missing keys.
LONG create_key(const Key& parent, std::string_view subkey, DWORD access, Key& out,
                DWORD* disposition = nullptr);
// RegOpenKeyEx: opens an existing key; ERROR_FILE_NOT_FOUND when it does not exist.
LONG open_key(const Key& parent, std::string_view subkey, DWORD access, Key& out);
// RegQueryValueEx: `size` holds the buffer size on entry and the data size on return.
// Data longer than the buffer fails with ERROR_MORE_DATA (size = what is needed).
// `type`, `data` and `size` may each be null; data == null asks only for size/type.
LONG query_value(const Key& key, std::string_view name, DWORD* type, std::uint8_t* data,
                 DWORD* size);
// RegSetValueEx: stores `size` bytes as they are with their type.
LONG set_value(const Key& key, std::string_view name, DWORD type, const std::uint8_t* data,
               DWORD size);
LONG delete_value(const Key& key, std::string_view name);
// RegEnumKeyEx: subkey names in case-insensitive name order. `name_capacity` is the
// caller's buffer in characters including the terminator (ERROR_MORE_DATA if too small).
LONG enum_key(const Key& key, DWORD index, std::string& name, DWORD name_capacity = 256);
// RegEnumValue: values in creation order. Capacities as in the design's calls
// (name in characters with terminator, data in bytes); 0 = unlimited.
LONG enum_value(const Key& key, DWORD index, std::string& name, DWORD* type,
                std::vector<std::uint8_t>* data, DWORD name_capacity = 0, DWORD data_capacity = 0);
// RegDeleteKey: refuses a key that has subkeys (ERROR_ACCESS_DENIED).
LONG delete_key(const Key& parent, std::string_view subkey);

// --- store file --------------------------------------------------------------

// Path of the store file in use: $VAROLAN_REGISTRY or the default.
std::string store_path();
// The last error text of the store (for example the file that is not a valid
// database), for tools that report it to a person.
std::string last_store_error();
// Drops the cached connection of this thread/process so the next call reopens
// the file named by $VAROLAN_REGISTRY (tests switch stores).
void reset_store();

// The store file is made with access for its owner only (0600, its directory
// 0700 when made), whatever the umask; an existing file and its -wal and -shm
// lose any access by group and others when the store is opened.

// The account the service runs as: $VAROLAN_SERVICE_ACCOUNT, default "varolan".
std::string service_account();
// Whether this process may trust the store: its directory (or, when that is
// missing, the level where it would be made), the file, and its -wal and -shm
// where they exist must each be owned by this process's account, by root, or
// (when this process runs as root) by the service account, and no other
// account may write them. Empty when all is well; otherwise one line naming
// the path and what is wrong with it.
std::string store_trust_problem();
// Opens the store, which must exist and not be empty, and checks that the
// database is sound. ERROR_SUCCESS, or a status with last_store_error()
// naming the file and saying why (SQLite's own message where it gave one).
LONG verify_store();
// When this process runs as root and the service account exists: gives the
// store file with its -wal and -shm to that account, and the store's
// directory too when it holds nothing but the store. `done` says what was
// given (empty when nothing).
LONG give_store_to_service_account(std::string& done);

// --- device map ------------------------------------------------------------------

// One serial port as listed under SERIALCOMM: value name = stable identity of the
// device, data = its tty name under /dev (for example ttyS0, ttyUSB0, pts/3).
struct SerialPort {
    std::string name;
    std::string tty;
};

// Scans `sysfs_root`/class/tty for ttys that have a real driver, leaving out
// serial placeholders of port type 0. USB and ACM ports are named after their
// udev link under `dev_root`/serial/by-id (else by-path), other ports after the
// kernel name (also when a link's name could not be one key name). Ordered
// by kernel name, numbers compared as numbers.
std::vector<SerialPort> scan_serial_ports(const std::string& sysfs_root,
                                          const std::string& dev_root);
// Reads a device map file of NAME=TTY lines (blank lines and lines starting with
// '#' are skipped, blanks around both parts are trimmed). A NAME becomes the
// name of a port key, so lines whose NAME contains a backslash or NUL or is
// longer than 255 characters are skipped, as are lines without a NAME or TTY
// and repeats of an earlier NAME. False when the file cannot be read.
bool read_device_map_file(const std::string& path, std::vector<SerialPort>& out);
// The ports SERIALCOMM lists: from $VAROLAN_DEVICEMAP when set, else the scan of
// /sys and /dev. Made anew every time the SERIALCOMM key is opened.
std::vector<SerialPort> current_device_map();

// --- fault injection (tests) ---------------------------------------------------

enum class Op {
    create_key,
    open_key,
    query_value,
    set_value,
    delete_value,
    enum_key,
    enum_value,
    delete_key
};

// Makes calls of `op` whose key path (case-insensitive, without leading
// separators) and value name match fail with `status`. An empty key path or
// value name matches any. `count` = how many calls fail (0 = every call).
void inject_fault(Op op, std::string_view key_path, std::string_view value_name, LONG status,
                  unsigned count = 1);
void clear_faults();

// --- observation (tests) -------------------------------------------------------

// Told of every create_key (Op::create_key) and open_key (Op::open_key) call
// before it runs, whatever its outcome: the full path from HKEY_LOCAL_MACHINE
// as the caller spelled it (parent path, a backslash, the subkey) and the
// access asked for. Lets tests check which rights each step asks for.
using OpenObserver = std::function<void(Op op, const std::string& path, DWORD access)>;
// Installs `observer` for the whole process; an empty one removes it.
void set_open_observer(OpenObserver observer);

}  // namespace varolan::reg
