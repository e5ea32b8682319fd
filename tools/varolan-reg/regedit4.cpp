// REGEDIT4 text: the export writer and the import reader of varolan-reg.

#include <string>
#include <vector>

#include "common/dword_bytes.h"
#include "platform/core/text.h"
#include "tools/varolan-reg/regtool.h"
#include "tools/varolan-reg/store_view.h"

namespace varolan::regtool {

namespace {

constexpr std::size_t WRAP_COLUMN = 77;  // hex lines stay within 80 columns

// Names that an export can write again: no line breaks and no NUL.
bool exportable_name(std::string_view name) {
    return name.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
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

// A line without the spaces and tabs around it and the CR of a CR LF ending.
std::string trim_line(std::string_view s) {
    return std::string(trim_right(trim_left(s, " \t"), " \t\r"));
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
            trim_line(s.substr(pos, comma == std::string_view::npos ? s.npos : comma - pos));
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

std::string line_error(int line, const std::string& what) {
    return "line " + std::to_string(line) + ": " + what;
}

// The lines of a REGEDIT4 text without their line ends (LF or CR LF), after an
// optional UTF-8 byte order mark.
std::vector<std::string> split_lines(std::string_view text) {
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
    return lines;
}

// Where the reader stands in the text: the lines, the current line's index,
// and the key the values that follow belong to.
struct Reader {
    std::vector<std::string> lines;
    std::size_t i = 0;
    std::string key;
    bool in_key = false;
    int lineno() const { return static_cast<int>(i + 1); }
};

// A "[key]" or "[-key]" line.
bool parse_section(Reader& r, const std::string& line, std::vector<ImportOp>& ops,
                   std::string& error) {
    int lineno = r.lineno();
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
    if (!section_path(name, r.key) || r.key.empty()) {
        error = line_error(lineno, "key must be below HKEY_LOCAL_MACHINE: " + std::string(name));
        return false;
    }
    if (!exportable_name(r.key)) {
        error = line_error(lineno, "key name with a control character CR or NUL");
        return false;
    }
    ImportOp op;
    op.kind = remove ? ImportOp::Kind::delete_tree : ImportOp::Kind::create_key;
    op.key = r.key;
    op.line = lineno;
    ops.push_back(std::move(op));
    r.in_key = !remove;
    return true;
}

// `hex:` or `hex(N):` data; long lists go on over the next lines after a
// trailing backslash.
bool parse_hex_data(Reader& r, const std::string& data, ImportOp& op, std::string& error) {
    int lineno = r.lineno();
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
    while (!bytes.empty() && bytes.back() == '\\') {
        bytes.pop_back();
        if (r.i + 1 >= r.lines.size()) {
            error = line_error(lineno, "hex data continues past the end of the file");
            return false;
        }
        bytes += trim_line(r.lines[++r.i]);
    }
    op.kind = ImportOp::Kind::set_value;
    op.type = type;
    if (!parse_hex_list(bytes, op.data)) {
        error = line_error(lineno, "bad hex data");
        return false;
    }
    return true;
}

// What follows the `=` of a value line: `-`, a quoted string, dword: or hex.
bool parse_value_data(Reader& r, const std::string& data, ImportOp& op, std::string& error) {
    int lineno = r.lineno();
    if (data == "-") {
        op.kind = ImportOp::Kind::delete_value;
        return true;
    }
    if (!data.empty() && data[0] == '"') {
        std::size_t q = 0;
        std::string s;
        if (!parse_quoted(data, q, s) || !trim_line(std::string_view(data).substr(q)).empty()) {
            error = line_error(lineno, "bad string data");
            return false;
        }
        op.kind = ImportOp::Kind::set_value;
        op.type = reg::REG_SZ;
        op.data.assign(s.begin(), s.end());
        op.data.push_back(0);
        return true;
    }
    if (data.size() > 6 && equal_nocase(std::string_view(data).substr(0, 6), "dword:")) {
        std::uint32_t v = 0;
        if (data.size() > 14 || !parse_u32(std::string_view(data).substr(6), false, v)) {
            error = line_error(lineno, "bad dword data");
            return false;
        }
        op.kind = ImportOp::Kind::set_value;
        op.type = reg::REG_DWORD;
        const auto bytes = dword_to_bytes(v);
        op.data.assign(bytes.begin(), bytes.end());
        return true;
    }
    if (data.size() >= 4 && equal_nocase(std::string_view(data).substr(0, 3), "hex")) {
        return parse_hex_data(r, data, op, error);
    }
    error = line_error(lineno, "unknown value data");
    return false;
}

// A `"name"=data` or `@=data` line.
bool parse_value_line(Reader& r, const std::string& line, std::vector<ImportOp>& ops,
                      std::string& error) {
    int lineno = r.lineno();
    if (!r.in_key) {
        error = line_error(lineno, "value outside a key section");
        return false;
    }
    ImportOp op;
    op.key = r.key;
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
    if (!parse_value_data(r, trim_line(std::string_view(line).substr(p)), op, error)) {
        return false;
    }
    ops.push_back(std::move(op));
    return true;
}

}  // namespace

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

namespace {

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
        std::erase_if(subkeys,
                      [](const std::string& name) { return equal_nocase(name, "HARDWARE"); });
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

}  // namespace

LONG export_key(std::string_view key_path, std::string& text, std::string& error) {
    text = "REGEDIT4\n\n";
    return export_tree(std::string(key_path), text, error);
}

bool parse_regedit4(std::string_view text, std::vector<ImportOp>& ops, std::string& error) {
    ops.clear();
    Reader r;
    r.lines = split_lines(text);
    bool header = false;
    for (; r.i < r.lines.size(); ++r.i) {
        std::string line = trim_line(r.lines[r.i]);
        if (line.empty()) {
            continue;
        }
        if (!header) {
            if (line != "REGEDIT4") {
                error =
                    line_error(r.lineno(), "not a REGEDIT4 file (the first line must be REGEDIT4)");
                return false;
            }
            header = true;
            continue;
        }
        bool ok = true;
        if (line[0] == ';') {
            continue;
        }
        if (line[0] == '[') {
            ok = parse_section(r, line, ops, error);
        } else if (line[0] == '"' || line[0] == '@') {
            ok = parse_value_line(r, line, ops, error);
        } else {
            error = line_error(r.lineno(), "cannot read this line");
            ok = false;
        }
        if (!ok) {
            return false;
        }
    }
    if (!header) {
        error = "empty file: not a REGEDIT4 file";
        return false;
    }
    return true;
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

}  // namespace varolan::regtool
