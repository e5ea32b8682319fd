#include "tools/varolan-reg/regtool.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/dword_bytes.h"
#include "platform/registry/registry.h"

namespace varolan::regtool {

namespace {

struct StoredValue {
    std::string name;
    DWORD type = 0;
    std::vector<std::uint8_t> data;
};

// Every value of `key`, in creation order; the status of a failed read.
LONG list_values(const reg::Key& key, std::vector<StoredValue>& values) {
    values.clear();
    for (DWORD i = 0;; ++i) {
        StoredValue v;
        LONG status = reg::enum_value(key, i, v.name, &v.type, &v.data);
        if (status == ERROR_NO_MORE_ITEMS) {
            return ERROR_SUCCESS;
        }
        if (status != ERROR_SUCCESS) {
            return status;
        }
        values.push_back(std::move(v));
    }
}

// Every subkey name of `key`, in the store's order; the status of a failed read.
LONG list_subkeys(const reg::Key& key, std::vector<std::string>& names) {
    names.clear();
    for (DWORD i = 0;; ++i) {
        std::string name;
        LONG status = reg::enum_key(key, i, name, 0);
        if (status == ERROR_NO_MORE_ITEMS) {
            return ERROR_SUCCESS;
        }
        if (status != ERROR_SUCCESS) {
            return status;
        }
        names.push_back(std::move(name));
    }
}

constexpr std::string_view ROOT_NAME = "HKEY_LOCAL_MACHINE";
constexpr std::size_t WRAP_COLUMN = 77;  // hex lines stay within 80 columns

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'a' && x <= 'z') {
            x = static_cast<char>(x - 32);
        }
        if (y >= 'a' && y <= 'z') {
            y = static_cast<char>(y - 32);
        }
        if (x != y) {
            return false;
        }
    }
    return true;
}

std::string full_name(std::string_view path) {
    std::string out(ROOT_NAME);
    if (!path.empty()) {
        out += '\\';
        out += path;
    }
    return out;
}

// Names that an export can write again: no line breaks and no NUL.
bool exportable_name(std::string_view name) {
    return name.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

std::string join(std::string_view parent, std::string_view child) {
    if (parent.empty()) {
        return std::string(child);
    }
    return std::string(parent) + "\\" + std::string(child);
}

std::string status_text(LONG status) {
    switch (static_cast<DWORD>(status)) {
        case ERROR_FILE_NOT_FOUND:
            return "not found";
        case ERROR_ACCESS_DENIED:
            return "access denied";
        case ERROR_KEY_DELETED:
            return "key was deleted";
        case ERROR_MORE_DATA:
            return "data too long";
        case ERROR_INVALID_PARAMETER:
            return "invalid name";
        case ERROR_BADDB:
        case ERROR_CANTOPEN:
        case ERROR_CANTREAD:
        case ERROR_CANTWRITE:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_SHARING_VIOLATION:
        case ERROR_NOT_ENOUGH_MEMORY: {
            std::string text = reg::last_store_error();
            return text.empty() ? "store error " + std::to_string(status) : text;
        }
        default:
            return "error " + std::to_string(status);
    }
}

char hex_digit(unsigned v) {
    return "0123456789abcdef"[v & 15];
}

// Parses 1..8 hex digits (no prefix) or, with `decimal_ok`, a decimal number or
// "0x" hex number, into a 32-bit value.
bool parse_u32(std::string_view s, bool decimal_ok, std::uint32_t& out) {
    unsigned base = 16;
    if (decimal_ok) {
        base = 10;
        if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
            s.remove_prefix(2);
            base = 16;
        }
    }
    if (s.empty()) {
        return false;
    }
    std::uint64_t v = 0;
    for (char c : s) {
        int d = hex_digit_value(c);
        if (d < 0 || static_cast<unsigned>(d) >= base) {
            return false;
        }
        v = v * base + static_cast<unsigned>(d);
        if (v > 0xFFFFFFFFull) {
            return false;
        }
    }
    out = static_cast<std::uint32_t>(v);
    return true;
}

std::string quote(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"') {
            out += '\\';
        }
        out += c;
    }
    out += '"';
    return out;
}

// A REG_SZ that a quoted REGEDIT4 string carries exactly: printable ASCII and
// one terminating NUL.
bool quotable_string(const std::vector<std::uint8_t>& data) {
    if (data.empty() || data.back() != 0) {
        return false;
    }
    for (std::size_t i = 0; i + 1 < data.size(); ++i) {
        if (data[i] < 0x20 || data[i] > 0x7e) {
            return false;
        }
    }
    return true;
}

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

LONG read_value(const reg::Key& key, std::string_view name, DWORD& type,
                std::vector<std::uint8_t>& data) {
    DWORD size = 0;
    LONG status = reg::query_value(key, name, &type, nullptr, &size);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    data.assign(size, 0);
    status = reg::query_value(key, name, &type, data.data(), &size);
    data.resize(size);
    return status;
}

LONG export_tree(const std::string& path, std::string& text, std::string& error) {
    reg::Key key;
    LONG status = reg::open_key(reg::hklm(), path, reg::KEY_READ, key);
    if (status != ERROR_SUCCESS) {
        error = "cannot open " + full_name(path) + ": " + status_text(status);
        return status;
    }
    if (!exportable_name(path)) {
        error = "key name with a line break cannot be exported: " + full_name(path);
        return ERROR_INVALID_DATA;
    }
    if (!path.empty()) {
        text += "[" + full_name(path) + "]\n";
        std::vector<StoredValue> values;
        status = list_values(key, values);
        if (status != ERROR_SUCCESS) {
            error = "cannot read " + full_name(path) + ": " + status_text(status);
            return status;
        }
        for (const StoredValue& v : values) {
            std::string line;
            if (!format_regedit4_value(v.name, v.type, v.data, line, error)) {
                error += " in " + full_name(path);
                return ERROR_INVALID_DATA;
            }
            text += line + "\n";
        }
        text += "\n";
    }
    std::vector<std::string> subkeys;
    status = list_subkeys(key, subkeys);
    if (status != ERROR_SUCCESS) {
        error = "cannot list " + full_name(path) + ": " + status_text(status);
        return status;
    }
    if (path.empty()) {
        // HARDWARE is volatile: made from the machine, never imported.
        std::erase_if(subkeys, [](const std::string& name) { return iequals(name, "HARDWARE"); });
    }
    key.close();
    for (const std::string& sub : subkeys) {
        status = export_tree(join(path, sub), text, error);
        if (status != ERROR_SUCCESS) {
            return status;
        }
    }
    return ERROR_SUCCESS;
}

std::string trim(std::string_view s) {
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) {
        ++b;
    }
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) {
        --e;
    }
    return std::string(s.substr(b, e - b));
}

// Parses a quoted string starting at s[pos] == '"'; pos ends after the closing quote.
bool parse_quoted(std::string_view s, std::size_t& pos, std::string& out) {
    out.clear();
    ++pos;
    while (pos < s.size()) {
        char c = s[pos++];
        if (c == '"') {
            return true;
        }
        if (c == '\\' && pos < s.size() && (s[pos] == '\\' || s[pos] == '"')) {
            c = s[pos++];
        }
        out += c;
    }
    return false;
}

bool parse_hex_list(std::string_view s, std::vector<std::uint8_t>& out) {
    out.clear();
    std::size_t pos = 0;
    bool first = true;
    while (true) {
        std::size_t comma = s.find(',', pos);
        std::string item =
            trim(s.substr(pos, comma == std::string_view::npos ? s.npos : comma - pos));
        bool last = comma == std::string_view::npos;
        if (item.empty()) {
            // An empty list, or one trailing comma.
            if (!(last && (first || !out.empty()))) {
                return false;
            }
        } else {
            if (item.size() > 2) {
                return false;
            }
            int v = 0;
            for (char c : item) {
                int d = hex_digit_value(c);
                if (d < 0) {
                    return false;
                }
                v = v * 16 + d;
            }
            out.push_back(static_cast<std::uint8_t>(v));
        }
        if (last) {
            return true;
        }
        first = false;
        pos = comma + 1;
    }
}

// "HKEY_LOCAL_MACHINE\..." (or HKLM) of a section line to a path below it.
bool section_path(std::string_view name, std::string& path) {
    for (std::string_view root :
         {std::string_view("HKEY_LOCAL_MACHINE"), std::string_view("HKLM")}) {
        if (name.size() >= root.size() && iequals(name.substr(0, root.size()), root) &&
            (name.size() == root.size() || name[root.size()] == '\\')) {
            std::string rest(name.substr(root.size()));
            // Normalise separators the way the store reads them.
            std::string out;
            std::size_t p = 0;
            while (p <= rest.size()) {
                std::size_t e = rest.find('\\', p);
                if (e == std::string::npos) {
                    e = rest.size();
                }
                if (e > p) {
                    if (!out.empty()) {
                        out += '\\';
                    }
                    out.append(rest, p, e - p);
                }
                p = e + 1;
            }
            path = out;
            return true;
        }
    }
    return false;
}

std::string line_error(int line, const std::string& what) {
    return "line " + std::to_string(line) + ": " + what;
}

LONG open_for_write(const std::string& path, reg::Key& key) {
    return reg::create_key(reg::hklm(), path, reg::KEY_ALL_ACCESS, key);
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

constexpr const char* USAGE =
    "usage: varolan-reg query KEY [VALUE]\n"
    "       varolan-reg set KEY VALUE TYPE [DATA...]\n"
    "       varolan-reg delete KEY [VALUE]\n"
    "       varolan-reg export KEY [FILE]\n"
    "       varolan-reg import FILE\n"
    "       varolan-reg devicemap\n"
    "KEY: path below HKEY_LOCAL_MACHINE, \\ or / separated, optional HKLM\\ prefix.\n"
    "TYPE: REG_SZ TEXT | REG_EXPAND_SZ TEXT | REG_DWORD N (decimal or 0x hex) |\n"
    "      REG_MULTI_SZ STRING... | REG_BINARY HEX... | REG_NONE HEX...\n"
    "VALUE \"\" names the default value. FILE - is standard input/output.\n";

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
    if (iequals(type, "REG_SZ") || iequals(type, "REG_EXPAND_SZ")) {
        out_type = iequals(type, "REG_SZ") ? reg::REG_SZ : reg::REG_EXPAND_SZ;
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
    if (iequals(type, "REG_DWORD")) {
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
    if (iequals(type, "REG_MULTI_SZ")) {
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
    if (iequals(type, "REG_BINARY") || iequals(type, "REG_NONE")) {
        out_type = iequals(type, "REG_BINARY") ? reg::REG_BINARY : reg::REG_NONE;
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

bool format_regedit4_value(std::string_view name, DWORD type, const std::vector<std::uint8_t>& data,
                           std::string& line, std::string& error) {
    if (!exportable_name(name)) {
        error = "value name with a line break or NUL cannot be exported";
        return false;
    }
    line = name.empty() ? "@=" : quote(name) + "=";
    if (type == reg::REG_SZ && quotable_string(data)) {
        line +=
            quote(std::string_view(reinterpret_cast<const char*>(data.data()), data.size() - 1));
        return true;
    }
    if (type == reg::REG_DWORD && data.size() == 4) {
        char buf[16];
        const std::uint32_t v = dword_from_bytes(data.data());
        std::snprintf(buf, sizeof buf, "dword:%08x", v);
        line += buf;
        return true;
    }
    if (type == reg::REG_BINARY) {
        line += "hex:";
    } else {
        char buf[24];
        std::snprintf(buf, sizeof buf, "hex(%x):", type);
        line += buf;
    }
    std::size_t column = line.size();
    for (std::size_t i = 0; i < data.size(); ++i) {
        std::string piece;
        piece += hex_digit(data[i] >> 4);
        piece += hex_digit(data[i]);
        if (i + 1 < data.size()) {
            piece += ',';
        }
        if (column + piece.size() > WRAP_COLUMN) {
            line += "\\\n  ";
            column = 2;
        }
        line += piece;
        column += piece.size();
    }
    return true;
}

LONG export_key(std::string_view key_path, std::string& text, std::string& error) {
    text = "REGEDIT4\n\n";
    return export_tree(std::string(key_path), text, error);
}

bool parse_regedit4(std::string_view text, std::vector<ImportOp>& ops, std::string& error) {
    ops.clear();
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view l = text.substr(pos, end - pos);
        if (!l.empty() && l.back() == '\r') {
            l.remove_suffix(1);
        }
        lines.emplace_back(l);
        pos = end + 1;
    }
    bool header = false;
    bool in_key = false;
    std::string key;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        int lineno = static_cast<int>(i + 1);
        std::string line = trim(lines[i]);
        if (line.empty()) {
            continue;
        }
        if (!header) {
            if (line != "REGEDIT4") {
                error = line_error(lineno, "not a REGEDIT4 file (the first line must be REGEDIT4)");
                return false;
            }
            header = true;
            continue;
        }
        if (line[0] == ';') {
            continue;
        }
        if (line[0] == '[') {
            std::size_t close = line.rfind(']');
            if (close == std::string::npos) {
                error = line_error(lineno, "section without ]");
                return false;
            }
            std::string_view name = std::string_view(line).substr(1, close - 1);
            bool remove = !name.empty() && name[0] == '-';
            if (remove) {
                name.remove_prefix(1);
            }
            if (!section_path(name, key) || key.empty()) {
                error = line_error(lineno,
                                   "key must be below HKEY_LOCAL_MACHINE: " + std::string(name));
                return false;
            }
            if (!exportable_name(key)) {
                error = line_error(lineno, "key name with a control character CR or NUL");
                return false;
            }
            ImportOp op;
            op.kind = remove ? ImportOp::Kind::delete_tree : ImportOp::Kind::create_key;
            op.key = key;
            op.line = lineno;
            ops.push_back(std::move(op));
            in_key = !remove;
            continue;
        }
        if (line[0] != '"' && line[0] != '@') {
            error = line_error(lineno, "cannot read this line");
            return false;
        }
        if (!in_key) {
            error = line_error(lineno, "value outside a key section");
            return false;
        }
        ImportOp op;
        op.key = key;
        op.line = lineno;
        std::size_t p = 0;
        if (line[0] == '@') {
            p = 1;
        } else if (!parse_quoted(line, p, op.name)) {
            error = line_error(lineno, "unterminated value name");
            return false;
        }
        if (!exportable_name(op.name)) {
            error = line_error(lineno, "value name with a control character CR or NUL");
            return false;
        }
        while (p < line.size() && (line[p] == ' ' || line[p] == '\t')) {
            ++p;
        }
        if (p >= line.size() || line[p] != '=') {
            error = line_error(lineno, "= expected after the value name");
            return false;
        }
        ++p;
        std::string data = trim(std::string_view(line).substr(p));
        if (data == "-") {
            op.kind = ImportOp::Kind::delete_value;
        } else if (!data.empty() && data[0] == '"') {
            std::size_t q = 0;
            std::string s;
            if (!parse_quoted(data, q, s) || !trim(std::string_view(data).substr(q)).empty()) {
                error = line_error(lineno, "bad string data");
                return false;
            }
            op.kind = ImportOp::Kind::set_value;
            op.type = reg::REG_SZ;
            op.data.assign(s.begin(), s.end());
            op.data.push_back(0);
        } else if (data.size() > 6 && iequals(std::string_view(data).substr(0, 6), "dword:")) {
            std::uint32_t v = 0;
            if (data.size() > 14 || !parse_u32(std::string_view(data).substr(6), false, v)) {
                error = line_error(lineno, "bad dword data");
                return false;
            }
            op.kind = ImportOp::Kind::set_value;
            op.type = reg::REG_DWORD;
            const auto bytes = dword_to_bytes(v);
            op.data.assign(bytes.begin(), bytes.end());
        } else if (data.size() >= 4 && iequals(std::string_view(data).substr(0, 3), "hex")) {
            std::size_t colon = data.find(':');
            std::string_view kind =
                std::string_view(data).substr(3, colon == std::string::npos ? 0 : colon - 3);
            std::uint32_t type = reg::REG_BINARY;
            if (colon == std::string::npos ||
                (!kind.empty() && (kind.size() < 3 || kind.front() != '(' || kind.back() != ')' ||
                                   !parse_u32(kind.substr(1, kind.size() - 2), false, type)))) {
                error = line_error(lineno, "bad hex data type");
                return false;
            }
            std::string bytes = data.substr(colon + 1);
            // Long hex data continues on the next lines after a backslash.
            while (!bytes.empty() && bytes.back() == '\\') {
                bytes.pop_back();
                if (i + 1 >= lines.size()) {
                    error = line_error(lineno, "hex data continues past the end of the file");
                    return false;
                }
                bytes += trim(lines[++i]);
            }
            op.kind = ImportOp::Kind::set_value;
            op.type = type;
            if (!parse_hex_list(bytes, op.data)) {
                error = line_error(lineno, "bad hex data");
                return false;
            }
        } else {
            error = line_error(lineno, "unknown value data");
            return false;
        }
        ops.push_back(std::move(op));
    }
    if (!header) {
        error = "empty file: not a REGEDIT4 file";
        return false;
    }
    return true;
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

bool apply_import(const std::vector<ImportOp>& ops, std::string& error) {
    reg::Key key;
    std::string key_path;
    bool open = false;
    for (std::size_t applied = 0; applied < ops.size(); ++applied) {
        const ImportOp& op = ops[applied];
        LONG status = ERROR_SUCCESS;
        switch (op.kind) {
            case ImportOp::Kind::delete_tree:
                key.close();
                open = false;
                status = delete_tree(op.key, true);
                break;
            case ImportOp::Kind::create_key:
            case ImportOp::Kind::set_value:
            case ImportOp::Kind::delete_value:
                if (!open || key_path != op.key) {
                    key.close();
                    status = open_for_write(op.key, key);
                    open = status == ERROR_SUCCESS;
                    key_path = op.key;
                }
                if (status == ERROR_SUCCESS && op.kind == ImportOp::Kind::set_value) {
                    status = reg::set_value(key, op.name, op.type, op.data.data(),
                                            static_cast<DWORD>(op.data.size()));
                } else if (status == ERROR_SUCCESS && op.kind == ImportOp::Kind::delete_value) {
                    status = reg::delete_value(key, op.name);
                    if (status == static_cast<LONG>(ERROR_FILE_NOT_FOUND)) {
                        status = ERROR_SUCCESS;
                    }
                }
                break;
        }
        if (status != ERROR_SUCCESS) {
            // Each change is committed on its own: say how far the import got,
            // so a partly changed store is not taken for an untouched one.
            error = line_error(op.line, "cannot change " + full_name(op.key) + ": " +
                                            status_text(status) + " (" + std::to_string(applied) +
                                            " of " + std::to_string(ops.size()) +
                                            " changes were applied before it, none after)");
            return false;
        }
    }
    return true;
}

int run(const std::vector<std::string>& args, std::string& out, std::string& err) {
    auto failure = [&](const std::string& msg) {
        err = "varolan-reg: " + msg + "\n";
        return 1;
    };
    auto usage = [&](const std::string& msg) {
        err = "varolan-reg: " + msg + " (varolan-reg --help for usage)\n";
        return 2;
    };
    if (args.empty()) {
        return usage("no command");
    }
    const std::string& cmd = args[0];
    std::size_t n = args.size();
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        out = USAGE;
        return 0;
    }
    if (cmd == "query") {
        if (n < 2 || n > 3) {
            return usage("query takes KEY [VALUE]");
        }
        std::string path = normalize_key(args[1]);
        reg::Key key;
        LONG status = reg::open_key(reg::hklm(), path, reg::KEY_READ, key);
        if (status != ERROR_SUCCESS) {
            return failure("cannot open " + full_name(path) + ": " + status_text(status));
        }
        if (n == 3) {
            DWORD type = 0;
            std::vector<std::uint8_t> data;
            status = read_value(key, args[2], type, data);
            if (status != ERROR_SUCCESS) {
                return failure("cannot read value \"" + args[2] + "\" of " + full_name(path) +
                               ": " + status_text(status));
            }
            out = format_value(type, data) + "\n";
            return 0;
        }
        std::vector<StoredValue> values;
        status = list_values(key, values);
        if (status != ERROR_SUCCESS) {
            return failure("cannot read " + full_name(path) + ": " + status_text(status));
        }
        std::vector<std::string> subkeys;
        status = list_subkeys(key, subkeys);
        if (status != ERROR_SUCCESS) {
            return failure("cannot list " + full_name(path) + ": " + status_text(status));
        }
        out = full_name(path) + "\n";
        for (const StoredValue& v : values) {
            out += "    " + (v.name.empty() ? std::string("(default)") : v.name) + " = " +
                   format_value(v.type, v.data) + "\n";
        }
        for (const std::string& name : subkeys) {
            out += "    " + name + "\\\n";
        }
        return 0;
    }
    if (cmd == "set") {
        if (n < 4) {
            return usage("set takes KEY VALUE TYPE [DATA...]");
        }
        std::string path = normalize_key(args[1]);
        if (path.empty()) {
            return failure("values cannot be set on HKEY_LOCAL_MACHINE itself");
        }
        DWORD type = 0;
        std::vector<std::uint8_t> data;
        std::string error;
        if (!parse_set_data(args[3], std::vector<std::string>(args.begin() + 4, args.end()), type,
                            data, error)) {
            return failure(error);
        }
        reg::Key key;
        LONG status = open_for_write(path, key);
        if (status == ERROR_SUCCESS) {
            status =
                reg::set_value(key, args[2], type, data.data(), static_cast<DWORD>(data.size()));
        }
        if (status != ERROR_SUCCESS) {
            return failure("cannot set \"" + args[2] + "\" in " + full_name(path) + ": " +
                           status_text(status));
        }
        return 0;
    }
    if (cmd == "delete") {
        if (n < 2 || n > 3) {
            return usage("delete takes KEY [VALUE]");
        }
        std::string path = normalize_key(args[1]);
        if (n == 3) {
            reg::Key key;
            LONG status = reg::open_key(reg::hklm(), path, reg::KEY_SET_VALUE, key);
            if (status == ERROR_SUCCESS) {
                status = reg::delete_value(key, args[2]);
            }
            if (status != ERROR_SUCCESS) {
                return failure("cannot delete \"" + args[2] + "\" in " + full_name(path) + ": " +
                               status_text(status));
            }
            return 0;
        }
        if (path.empty()) {
            return failure("HKEY_LOCAL_MACHINE itself cannot be deleted");
        }
        LONG status = delete_tree(path, false);
        if (status != ERROR_SUCCESS) {
            return failure("cannot delete " + full_name(path) + ": " + status_text(status));
        }
        return 0;
    }
    if (cmd == "export") {
        if (n < 2 || n > 3) {
            return usage("export takes KEY [FILE]");
        }
        std::string text;
        std::string error;
        if (export_key(normalize_key(args[1]), text, error) != ERROR_SUCCESS) {
            return failure(error);
        }
        if (n == 3 && args[2] != "-") {
            if (!write_file(args[2], text, error)) {
                return failure(error);
            }
        } else {
            out = text;
        }
        return 0;
    }
    if (cmd == "import") {
        if (n != 2) {
            return usage("import takes FILE");
        }
        std::string text;
        std::string error;
        std::vector<ImportOp> ops;
        if (!read_file(args[1], text, error)) {
            return failure(error);
        }
        if (!parse_regedit4(text, ops, error) || !apply_import(ops, error)) {
            return failure(args[1] + ": " + error);
        }
        return 0;
    }
    if (cmd == "devicemap") {
        if (n != 1) {
            return usage("devicemap takes no arguments");
        }
        reg::Key key;
        LONG status = reg::open_key(reg::hklm(), reg::SERIALCOMM_PATH, reg::KEY_READ, key);
        if (status != ERROR_SUCCESS) {
            return failure("cannot open the device map: " + status_text(status));
        }
        std::vector<StoredValue> values;
        status = list_values(key, values);
        if (status != ERROR_SUCCESS) {
            return failure("cannot read the device map: " + status_text(status));
        }
        for (const StoredValue& v : values) {
            std::string tty(v.data.begin(), v.data.end());
            tty = tty.substr(0, tty.find('\0'));
            out += v.name + "=" + tty + "\n";
        }
        return 0;
    }
    return usage("unknown command " + cmd);
}

}  // namespace varolan::regtool
