// varolan-reg's command line: one function per command, found in a table
// with its argument counts and usage.

#include "tools/varolan-reg/regtool.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/dword_bytes.h"
#include "common/store_layout.h"
#include "platform/core/text.h"
#include "platform/registry/registry.h"
#include "tools/varolan-reg/store_view.h"

namespace varolan::regtool {

namespace {

// Shows bytes in a query listing: printable ASCII as it is, the rest as \xNN.
std::string show_bytes(std::string_view s) {
    std::string out = "\"";
    for (char ch : s) {
        auto c = static_cast<unsigned char>(ch);
        if (c == '\\' || c == '"') {
            out += '\\';
            out += ch;
        } else if (c >= 0x20 && c <= 0x7e) {
            out += ch;
        } else {
            out += "\\x";
            out += hex_digit(c >> 4);
            out += hex_digit(c);
        }
    }
    out += '"';
    return out;
}

bool write_file(const std::string& path, const std::string& text, std::string& error) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = (std::fclose(f) == 0) && ok;
    if (!ok) {
        error = "cannot write " + path;
    }
    return ok;
}

bool read_file(const std::string& path, std::string& text, std::string& error) {
    FILE* f = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    text.clear();
    char buf[8192];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        text.append(buf, n);
    }
    bool ok = std::ferror(f) == 0;
    if (f != stdin) {
        std::fclose(f);
    }
    if (!ok) {
        error = "cannot read " + path;
    }
    return ok;
}

}  // namespace

std::string normalize_key(std::string_view arg) {
    std::string s(arg);
    for (char& c : s) {
        if (c == '/') {
            c = '\\';
        }
    }
    std::string rest;
    std::size_t b = s.find_first_not_of('\\');
    std::string_view v =
        b == std::string::npos ? std::string_view() : std::string_view(s).substr(b);
    if (!section_path(v, rest)) {
        section_path(std::string(ROOT_NAME) + "\\" + std::string(v), rest);
    }
    return rest;
}

std::string type_name(DWORD type) {
    switch (type) {
        case reg::REG_NONE:
            return "REG_NONE";
        case reg::REG_SZ:
            return "REG_SZ";
        case reg::REG_EXPAND_SZ:
            return "REG_EXPAND_SZ";
        case reg::REG_BINARY:
            return "REG_BINARY";
        case reg::REG_DWORD:
            return "REG_DWORD";
        case reg::REG_MULTI_SZ:
            return "REG_MULTI_SZ";
        default: {
            char buf[16];
            std::snprintf(buf, sizeof buf, "0x%x", type);
            return buf;
        }
    }
}

std::string format_value(DWORD type, const std::vector<std::uint8_t>& data) {
    std::string out = type_name(type);
    std::string_view bytes(reinterpret_cast<const char*>(data.data()), data.size());
    if ((type == reg::REG_SZ || type == reg::REG_EXPAND_SZ)) {
        if (!bytes.empty() && bytes.back() == '\0') {
            bytes.remove_suffix(1);
        }
        return out + " " + show_bytes(bytes);
    }
    if (type == reg::REG_DWORD && data.size() == 4) {
        const std::uint32_t v = dword_from_bytes(data.data());
        char buf[40];
        std::snprintf(buf, sizeof buf, " %u (0x%08x)", v, v);
        return out + buf;
    }
    if (type == reg::REG_MULTI_SZ) {
        // Strings up to the first empty one (or the end of the data).
        std::size_t pos = 0;
        while (pos < bytes.size()) {
            std::size_t end = bytes.find('\0', pos);
            if (end == pos) {
                break;
            }
            if (end == std::string_view::npos) {
                end = bytes.size();
            }
            out += " " + show_bytes(bytes.substr(pos, end - pos));
            pos = end + 1;
        }
        return out;
    }
    for (std::uint8_t b : data) {
        out += ' ';
        out += hex_digit(b >> 4);
        out += hex_digit(b);
    }
    return out;
}

bool parse_set_data(std::string_view type, const std::vector<std::string>& args, DWORD& out_type,
                    std::vector<std::uint8_t>& out_data, std::string& error) {
    out_data.clear();
    if (equal_nocase(type, "REG_SZ") || equal_nocase(type, "REG_EXPAND_SZ")) {
        out_type = equal_nocase(type, "REG_SZ") ? reg::REG_SZ : reg::REG_EXPAND_SZ;
        if (args.size() > 1) {
            error = std::string(type) + " takes one DATA argument (quote text with blanks)";
            return false;
        }
        if (!args.empty()) {
            out_data.assign(args[0].begin(), args[0].end());
        }
        out_data.push_back(0);
        return true;
    }
    if (equal_nocase(type, "REG_DWORD")) {
        out_type = reg::REG_DWORD;
        std::uint32_t v = 0;
        if (args.size() != 1 || !parse_u32(args[0], true, v)) {
            error = "REG_DWORD takes one number, decimal or 0x hex, up to 0xffffffff";
            return false;
        }
        const auto bytes = dword_to_bytes(v);
        out_data.assign(bytes.begin(), bytes.end());
        return true;
    }
    if (equal_nocase(type, "REG_MULTI_SZ")) {
        out_type = reg::REG_MULTI_SZ;
        for (const std::string& s : args) {
            if (s.empty()) {
                error = "REG_MULTI_SZ strings cannot be empty (an empty string ends the list)";
                return false;
            }
            out_data.insert(out_data.end(), s.begin(), s.end());
            out_data.push_back(0);
        }
        out_data.push_back(0);
        return true;
    }
    if (equal_nocase(type, "REG_BINARY") || equal_nocase(type, "REG_NONE")) {
        out_type = equal_nocase(type, "REG_BINARY") ? reg::REG_BINARY : reg::REG_NONE;
        std::string digits;
        for (const std::string& s : args) {
            for (char c : s) {
                if (c != ',' && c != ' ' && c != ':') {
                    digits += c;
                }
            }
        }
        if (digits.size() % 2 != 0) {
            error = "hex data needs pairs of digits";
            return false;
        }
        for (std::size_t i = 0; i < digits.size(); i += 2) {
            int hi = hex_digit_value(digits[i]);
            int lo = hex_digit_value(digits[i + 1]);
            if (hi < 0 || lo < 0) {
                error = "not a hex digit in the data";
                return false;
            }
            out_data.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
        }
        return true;
    }
    error = "unknown type " + std::string(type);
    return false;
}

LONG delete_tree(std::string_view key_path, bool missing_ok) {
    std::string path(key_path);
    std::vector<std::string> subkeys;
    {
        reg::Key key;
        LONG status = reg::open_key(reg::hklm(), path, reg::KEY_READ, key);
        if (status == static_cast<LONG>(ERROR_FILE_NOT_FOUND) && missing_ok) {
            return ERROR_SUCCESS;
        }
        if (status != ERROR_SUCCESS) {
            return status;
        }
        status = list_subkeys(key, subkeys);
        if (status != ERROR_SUCCESS) {
            return status;
        }
    }
    for (const std::string& sub : subkeys) {
        LONG status = delete_tree(join(path, sub), true);
        if (status != ERROR_SUCCESS) {
            return status;
        }
    }
    return reg::delete_key(reg::hklm(), path);
}

namespace {

// Where a command puts its results: `out` for standard output, `err` for the
// one-line failure message.
struct Io {
    std::string& out;
    std::string& err;
};

int failure(Io& io, const std::string& msg) {
    io.err += "varolan-reg: " + msg + "\n";
    return 1;
}

int usage_error(Io& io, const std::string& msg) {
    io.err += "varolan-reg: " + msg + " (varolan-reg --help for usage)\n";
    return 2;
}

// query KEY [VALUE]
int cmd_query(const std::vector<std::string>& args, Io& io) {
    std::string path = normalize_key(args[1]);
    reg::Key key;
    LONG status = reg::open_key(reg::hklm(), path, reg::KEY_READ, key);
    if (status != ERROR_SUCCESS) {
        return failure(io, "cannot open " + full_name(path) + ": " + status_text(status));
    }
    if (args.size() == 3) {
        DWORD type = 0;
        std::vector<std::uint8_t> data;
        status = read_value(key, args[2], type, data);
        if (status != ERROR_SUCCESS) {
            return failure(io, "cannot read value \"" + args[2] + "\" of " + full_name(path) +
                                   ": " + status_text(status));
        }
        io.out = format_value(type, data) + "\n";
        return 0;
    }
    std::vector<StoredValue> values;
    status = list_values(key, values);
    if (status != ERROR_SUCCESS) {
        return failure(io, "cannot read " + full_name(path) + ": " + status_text(status));
    }
    std::vector<std::string> subkeys;
    status = list_subkeys(key, subkeys);
    if (status != ERROR_SUCCESS) {
        return failure(io, "cannot list " + full_name(path) + ": " + status_text(status));
    }
    io.out = full_name(path) + "\n";
    for (const StoredValue& v : values) {
        io.out += "    " + (v.name.empty() ? std::string("(default)") : v.name) + " = " +
                  format_value(v.type, v.data) + "\n";
    }
    for (const std::string& name : subkeys) {
        io.out += "    " + name + "\\\n";
    }
    return 0;
}

// set KEY VALUE TYPE [DATA...]
int cmd_set(const std::vector<std::string>& args, Io& io) {
    std::string path = normalize_key(args[1]);
    if (path.empty()) {
        return failure(io, "values cannot be set on HKEY_LOCAL_MACHINE itself");
    }
    DWORD type = 0;
    std::vector<std::uint8_t> data;
    std::string error;
    if (!parse_set_data(args[3], std::vector<std::string>(args.begin() + 4, args.end()), type, data,
                        error)) {
        return failure(io, error);
    }
    reg::Key key;
    LONG status = open_for_write(path, key);
    if (status == ERROR_SUCCESS) {
        status = reg::set_value(key, args[2], type, data.data(), static_cast<DWORD>(data.size()));
    }
    if (status != ERROR_SUCCESS) {
        return failure(io, "cannot set \"" + args[2] + "\" in " + full_name(path) + ": " +
                               status_text(status));
    }
    return 0;
}

// delete KEY [VALUE]
int cmd_delete(const std::vector<std::string>& args, Io& io) {
    std::string path = normalize_key(args[1]);
    if (args.size() == 3) {
        reg::Key key;
        LONG status = reg::open_key(reg::hklm(), path, reg::KEY_SET_VALUE, key);
        if (status == ERROR_SUCCESS) {
            status = reg::delete_value(key, args[2]);
        }
        if (status != ERROR_SUCCESS) {
            return failure(io, "cannot delete \"" + args[2] + "\" in " + full_name(path) + ": " +
                                   status_text(status));
        }
        return 0;
    }
    if (path.empty()) {
        return failure(io, "HKEY_LOCAL_MACHINE itself cannot be deleted");
    }
    LONG status = delete_tree(path, false);
    if (status != ERROR_SUCCESS) {
        return failure(io, "cannot delete " + full_name(path) + ": " + status_text(status));
    }
    return 0;
}

// export KEY [FILE]
int cmd_export(const std::vector<std::string>& args, Io& io) {
    std::string text;
    std::string error;
    if (export_key(normalize_key(args[1]), text, error) != ERROR_SUCCESS) {
        return failure(io, error);
    }
    if (args.size() == 3 && args[2] != "-") {
        if (!write_file(args[2], text, error)) {
            return failure(io, error);
        }
    } else {
        io.out = text;
    }
    return 0;
}

// import FILE
int cmd_import(const std::vector<std::string>& args, Io& io) {
    std::string text;
    std::string error;
    std::vector<ImportOp> ops;
    if (!read_file(args[1], text, error)) {
        return failure(io, error);
    }
    if (!parse_regedit4(text, ops, error) || !apply_import(ops, error)) {
        return failure(io, args[1] + ": " + error);
    }
    return 0;
}

// devicemap
int cmd_devicemap(const std::vector<std::string>&, Io& io) {
    reg::Key key;
    LONG status = reg::open_key(reg::hklm(), layout::SERIALCOMM_KEY, reg::KEY_READ, key);
    if (status != ERROR_SUCCESS) {
        return failure(io, "cannot open the device map: " + status_text(status));
    }
    std::vector<StoredValue> values;
    status = list_values(key, values);
    if (status != ERROR_SUCCESS) {
        return failure(io, "cannot read the device map: " + status_text(status));
    }
    for (const StoredValue& v : values) {
        std::string tty(v.data.begin(), v.data.end());
        tty = tty.substr(0, tty.find('\0'));
        io.out += v.name + "=" + tty + "\n";
    }
    return 0;
}

int cmd_help(const std::vector<std::string>&, Io& io);

constexpr std::size_t ANY = static_cast<std::size_t>(-1);

struct Command {
    std::string_view name;
    std::size_t min_args;       // after the command's name
    std::size_t max_args;       // ANY: no upper bound
    std::string_view synopsis;  // the arguments as the usage shows them
    int (*run)(const std::vector<std::string>& args, Io& io);
    bool listed;      // shown in the usage
    bool uses_store;  // reads or writes the store file
};

constexpr Command COMMANDS[] = {
    {"query", 1, 2, "KEY [VALUE]", cmd_query, true, true},
    {"set", 3, ANY, "KEY VALUE TYPE [DATA...]", cmd_set, true, true},
    {"delete", 1, 2, "KEY [VALUE]", cmd_delete, true, true},
    {"export", 1, 2, "KEY [FILE]", cmd_export, true, true},
    {"import", 1, 1, "FILE", cmd_import, true, true},
    {"devicemap", 0, 0, "", cmd_devicemap, true, false},
    {"--help", 0, ANY, "", cmd_help, false, false},
    {"-h", 0, ANY, "", cmd_help, false, false},
    {"help", 0, ANY, "", cmd_help, false, false},
};

int cmd_help(const std::vector<std::string>&, Io& io) {
    io.out.clear();
    for (const Command& c : COMMANDS) {
        if (!c.listed) {
            continue;
        }
        io.out += io.out.empty() ? "usage: varolan-reg " : "       varolan-reg ";
        io.out += std::string(c.name);
        if (!c.synopsis.empty()) {
            io.out += " " + std::string(c.synopsis);
        }
        io.out += "\n";
    }
    io.out +=
        "KEY: path below HKEY_LOCAL_MACHINE, \\ or / separated, optional HKLM\\ prefix.\n"
        "TYPE: REG_SZ TEXT | REG_EXPAND_SZ TEXT | REG_DWORD N (decimal or 0x hex) |\n"
        "      REG_MULTI_SZ STRING... | REG_BINARY HEX... | REG_NONE HEX...\n"
        "VALUE \"\" names the default value. FILE - is standard input/output.\n";
    return 0;
}

}  // namespace

int run(const std::vector<std::string>& args, std::string& out, std::string& err) {
    Io io{out, err};
    if (args.empty()) {
        return usage_error(io, "no command");
    }
    for (const Command& c : COMMANDS) {
        if (args[0] != c.name) {
            continue;
        }
        std::size_t n = args.size() - 1;
        if (n < c.min_args || (c.max_args != ANY && n > c.max_args)) {
            std::string takes = c.synopsis.empty() ? "no arguments" : std::string(c.synopsis);
            return usage_error(io, std::string(c.name) + " takes " + takes);
        }
        // The administrator's tool works on any store, but says when another
        // account could have changed (or can change) what it reads.
        if (c.uses_store) {
            if (const std::string problem = reg::store_trust_problem(); !problem.empty()) {
                io.err += "varolan-reg: warning: " + problem + "\n";
            }
        }
        return c.run(args, io);
    }
    return usage_error(io, "unknown command " + args[0]);
}

}  // namespace varolan::regtool
