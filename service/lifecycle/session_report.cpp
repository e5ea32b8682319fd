#include "service/lifecycle/session_report.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace varolan::service {

namespace {

constexpr std::size_t FIELDS = 10;

std::vector<std::string> split(const std::string& line, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = line.find(separator, start);
        parts.push_back(line.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) {
            return parts;
        }
        start = end + 1;
    }
}

bool parse_unsigned(const std::string& text, std::uint64_t max, std::uint64_t* out) {
    if (text.empty() || text.size() > 20 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    if (errno != 0 || v > max) {
        return false;
    }
    *out = v;
    return true;
}

// Listed names: printable ASCII but '\', and \xNN.
bool valid_name(const std::string& text) {
    if (text.empty()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < '!' || c > '~') {
            return false;
        }
        if (c == '\\') {
            if (i + 3 >= text.size() || text[i + 1] != 'x' ||
                std::isxdigit(static_cast<unsigned char>(text[i + 2])) == 0 ||
                std::isxdigit(static_cast<unsigned char>(text[i + 3])) == 0) {
                return false;
            }
            i += 3;
        }
    }
    return true;
}

bool parse_line(const std::string& line, SessionRow* row) {
    const std::vector<std::string> f = split(line, '\t');
    if (f.size() != FIELDS) {
        return false;
    }
    std::uint64_t port = 0;
    std::uint64_t since = 0;
    std::uint64_t host_since = 0;
    const bool ok =
        (f[0] == "pipe" || f[0] == "serial") && valid_name(f[1]) &&
        (f[2] == "waiting" || f[2] == "prompt" || f[2] == "connected" || f[2] == "held") &&
        (f[3] == "telnet" || f[3] == "ssh" || f[3] == "-") && valid_name(f[4]) &&
        (f[3] == "-") == (f[4] == "-") && parse_unsigned(f[5], 65535, &port) &&
        parse_unsigned(f[6], UINT64_MAX, &row->bytes_to_host) &&
        parse_unsigned(f[7], UINT64_MAX, &row->bytes_to_user) &&
        parse_unsigned(f[8], INT64_MAX, &since) && parse_unsigned(f[9], INT64_MAX, &host_since);
    if (!ok) {
        return false;
    }
    row->kind = f[0];
    row->place = f[1];
    row->state = f[2];
    row->protocol = f[3];
    row->host = f[4];
    row->port = static_cast<std::uint32_t>(port);
    row->since = static_cast<std::int64_t>(since);
    row->host_since = static_cast<std::int64_t>(host_since);
    return true;
}

std::string format_time(std::int64_t seconds, bool utc) {
    const auto t = static_cast<std::time_t>(seconds);
    std::tm parts{};
    if ((utc ? gmtime_r(&t, &parts) : localtime_r(&t, &parts)) == nullptr) {
        return "-";
    }
    char text[32];
    std::strftime(text, sizeof text, utc ? "%Y-%m-%dT%H:%M:%SZ" : "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

bool has_destination(const SessionRow& row) {
    return row.protocol != "-";
}

// host:port, an IPv6 address in brackets.
std::string destination(const SessionRow& row) {
    if (!has_destination(row)) {
        return "-";
    }
    const bool bracket = row.host.find(':') != std::string::npos && row.host[0] != '[';
    return (bracket ? "[" + row.host + "]" : row.host) + ":" + std::to_string(row.port);
}

// The bytes a listed name stands for.
std::string unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
            out += static_cast<char>(std::strtoul(text.substr(i + 2, 2).c_str(), nullptr, 16));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

// Length of the well-formed UTF-8 sequence at `p` (of `left` bytes) that
// stands for a character beyond ASCII, or 0.
std::size_t utf8_sequence(const unsigned char* p, std::size_t left) {
    std::size_t n = 0;
    std::uint32_t code = 0;
    if (p[0] >= 0xC2 && p[0] <= 0xDF) {
        n = 2;
        code = p[0] & 0x1Fu;
    } else if (p[0] >= 0xE0 && p[0] <= 0xEF) {
        n = 3;
        code = p[0] & 0x0Fu;
    } else if (p[0] >= 0xF0 && p[0] <= 0xF4) {
        n = 4;
        code = p[0] & 0x07u;
    }
    if (n == 0 || n > left) {
        return 0;
    }
    for (std::size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (p[i] & 0x3Fu);
    }
    const std::uint32_t least = n == 2 ? 0x80 : n == 3 ? 0x800 : 0x10000;
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return code >= least && code <= 0x10FFFF && !surrogate ? n : 0;
}

// A JSON string: UTF-8 kept, any other byte above 0x7F and every control
// character as \u00NN.
std::string json_string(const std::string& bytes) {
    std::string out = "\"";
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    for (std::size_t i = 0; i < bytes.size();) {
        const unsigned char c = p[i];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else if (const std::size_t n = c >= 0x80 ? utf8_sequence(p + i, bytes.size() - i) : 0;
                   n > 0) {
            out.append(bytes, i, n);
            i += n;
            continue;
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        }
        ++i;
    }
    return out + "\"";
}

void pad(std::string& out, const std::string& text, std::size_t width, bool right) {
    const std::string fill(width > text.size() ? width - text.size() : 0, ' ');
    out += right ? fill + text : text + fill;
}

}  // namespace

bool parse_session_listing(const std::string& text, std::vector<SessionRow>* rows,
                           std::string* error) {
    rows->clear();
    std::size_t start = 0;
    int number = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        ++number;
        SessionRow row;
        if (end == std::string::npos || !parse_line(text.substr(start, end - start), &row)) {
            *error = "line " + std::to_string(number) + " of the listing is not understood";
            return false;
        }
        rows->push_back(row);
        start = end + 1;
    }
    return true;
}

std::string sessions_as_text(const std::vector<SessionRow>& rows) {
    if (rows.empty()) {
        return "no sessions\n";
    }
    const std::vector<std::string> header = {"KIND",        "PLACE",   "STATE",   "VIA",
                                             "DESTINATION", "TO HOST", "TO USER", "SINCE"};
    std::vector<std::vector<std::string>> table = {header};
    for (const SessionRow& row : rows) {
        table.push_back({row.kind, row.place, row.state, row.protocol, destination(row),
                         std::to_string(row.bytes_to_host), std::to_string(row.bytes_to_user),
                         format_time(row.since, false)});
    }
    std::vector<std::size_t> width(header.size(), 0);
    for (const auto& line : table) {
        for (std::size_t i = 0; i < line.size(); ++i) {
            width[i] = std::max(width[i], line[i].size());
        }
    }
    std::string out;
    for (const auto& line : table) {
        for (std::size_t i = 0; i < line.size(); ++i) {
            const bool last = i + 1 == line.size();
            // Byte counts are right-aligned; the last column is not padded.
            pad(out, line[i], last ? 0 : width[i], i == 5 || i == 6);
            out += last ? "\n" : "  ";
        }
    }
    return out;
}

std::string sessions_as_json(const std::vector<SessionRow>& rows) {
    std::string out = "{\"sessions\":[";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const SessionRow& row = rows[i];
        out += i == 0 ? "{" : ",{";
        out += "\"kind\":" + json_string(row.kind);
        out += ",\"place\":" + json_string(unescape(row.place));
        out += ",\"state\":" + json_string(row.state);
        out += ",\"destination\":";
        if (!has_destination(row)) {
            out += "null";
        } else {
            out += "{\"protocol\":" + json_string(row.protocol) +
                   ",\"host\":" + json_string(unescape(row.host)) +
                   ",\"port\":" + std::to_string(row.port) +
                   ",\"since\":" + json_string(format_time(row.host_since, true)) + "}";
        }
        out += ",\"bytes_to_host\":" + std::to_string(row.bytes_to_host);
        out += ",\"bytes_to_user\":" + std::to_string(row.bytes_to_user);
        out += ",\"since\":" + json_string(format_time(row.since, true)) + "}";
    }
    return out + "]}\n";
}

}  // namespace varolan::service
