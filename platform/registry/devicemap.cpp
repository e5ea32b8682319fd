// The device map: the serial ports that HARDWARE\DEVICEMAP\SERIALCOMM lists,
// from a NAME=TTY file or from the machine's sysfs and udev links.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "platform/core/text.h"
#include "platform/registry/key_names.h"
#include "platform/registry/registry.h"

namespace varolan::reg {

namespace {

// Natural order of tty names: ttyS2 before ttyS10.
bool natural_less(const std::string& a, const std::string& b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        bool da = a[i] >= '0' && a[i] <= '9';
        bool db = b[j] >= '0' && b[j] <= '9';
        if (da && db) {
            std::size_t ie = i;
            std::size_t je = j;
            while (ie < a.size() && a[ie] >= '0' && a[ie] <= '9') {
                ++ie;
            }
            while (je < b.size() && b[je] >= '0' && b[je] <= '9') {
                ++je;
            }
            std::string_view na = std::string_view(a).substr(i, ie - i);
            std::string_view nb = std::string_view(b).substr(j, je - j);
            while (na.size() > 1 && na.front() == '0') {
                na.remove_prefix(1);
            }
            while (nb.size() > 1 && nb.front() == '0') {
                nb.remove_prefix(1);
            }
            if (na.size() != nb.size()) {
                return na.size() < nb.size();
            }
            if (na != nb) {
                return na < nb;
            }
            i = ie;
            j = je;
            continue;
        }
        if (a[i] != b[j]) {
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        }
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

bool read_text(const std::filesystem::path& p, std::string& out) {
    FILE* f = std::fopen(p.c_str(), "rb");
    if (f == nullptr) {
        return false;
    }
    out.clear();
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        out.append(buf, n);
    }
    bool ok = std::ferror(f) == 0;
    std::fclose(f);
    return ok;
}

// tty name -> udev link name, from one /dev/serial/<dir> folder (first link in
// name order wins).
std::map<std::string, std::string> udev_links(const std::filesystem::path& dir) {
    namespace fs = std::filesystem;
    std::vector<std::string> links;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        links.push_back(it->path().filename().string());
    }
    std::sort(links.begin(), links.end());
    std::map<std::string, std::string> out;
    for (const std::string& link : links) {
        std::error_code lec;
        fs::path target = fs::read_symlink(dir / link, lec);
        if (lec) {
            continue;
        }
        out.emplace(target.filename().string(), link);
    }
    return out;
}

// The utility names a port key after the port's value name, so a name must be
// one key name: not empty, no separator (it would make nested keys), within
// the key name limit.
bool usable_port_name(std::string_view name) {
    return !name.empty() && name.size() <= MAX_KEY_NAME &&
           name.find_first_of(std::string_view("\\\0", 2)) == std::string_view::npos;
}

}  // namespace

std::vector<SerialPort> scan_serial_ports(const std::string& sysfs_root,
                                          const std::string& dev_root) {
    namespace fs = std::filesystem;
    std::vector<std::string> ttys;
    std::error_code ec;
    fs::path cls = fs::path(sysfs_root) / "class" / "tty";
    for (fs::directory_iterator it(cls, ec), end; !ec && it != end; it.increment(ec)) {
        fs::path entry = it->path();
        std::error_code xec;
        if (!fs::exists(entry / "device" / "driver", xec)) {
            continue;  // virtual consoles, ptys and the like
        }
        std::string type;
        if (read_text(entry / "type", type) && trim(type) == "0") {
            continue;  // a serial placeholder without a UART behind it
        }
        ttys.push_back(entry.filename().string());
    }
    std::sort(ttys.begin(), ttys.end(), natural_less);
    auto by_id = udev_links(fs::path(dev_root) / "serial" / "by-id");
    auto by_path = udev_links(fs::path(dev_root) / "serial" / "by-path");
    std::vector<SerialPort> ports;
    for (const std::string& tty : ttys) {
        SerialPort port{tty, tty};
        if (tty.rfind("ttyUSB", 0) == 0 || tty.rfind("ttyACM", 0) == 0) {
            auto it = by_id.find(tty);
            auto pt = by_path.find(tty);
            if (it != by_id.end() && usable_port_name(it->second)) {
                port.name = it->second;
            } else if (pt != by_path.end() && usable_port_name(pt->second)) {
                port.name = pt->second;
            }
        }
        ports.push_back(std::move(port));
    }
    return ports;
}

bool read_device_map_file(const std::string& path, std::vector<SerialPort>& out) {
    out.clear();
    std::string text;
    if (!read_text(path, text)) {
        return false;
    }
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string_view line = trim(std::string_view(text).substr(pos, end - pos));
        pos = end + 1;
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) {
            continue;
        }
        SerialPort port{std::string(trim(line.substr(0, eq))),
                        std::string(trim(line.substr(eq + 1)))};
        // A key holds one value per name: a repeated name keeps its first line.
        bool seen = std::any_of(out.begin(), out.end(), [&](const SerialPort& p) {
            return fold(p.name) == fold(port.name);
        });
        if (usable_port_name(port.name) && !port.tty.empty() && !seen) {
            out.push_back(std::move(port));
        }
    }
    return true;
}

std::vector<SerialPort> current_device_map() {
    const char* file = std::getenv("VAROLAN_DEVICEMAP");
    std::vector<SerialPort> ports;
    if (file && *file) {
        read_device_map_file(file, ports);
        return ports;
    }
    return scan_serial_ports("/sys", "/dev");
}

}  // namespace varolan::reg
