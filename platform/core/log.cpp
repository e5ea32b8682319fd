#include "platform/core/log.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace varolan {

namespace {

enum class Output { undecided, plain, journal, syslog };

std::mutex log_mutex;
LogStyle style = LogStyle::automatic;  // guarded by log_mutex
Output output = Output::undecided;     // guarded by log_mutex
LogSink sink;                          // guarded by log_mutex

// JOURNAL_STREAM is "<device>:<inode>" of the journal's stream; it only counts
// while standard error is still that stream (a child may have redirected it).
bool stderr_is_journal(const struct stat& st) {
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (stream == nullptr) {
        return false;
    }
    unsigned long long dev = 0;
    unsigned long long ino = 0;
    return std::sscanf(stream, "%llu:%llu", &dev, &ino) == 2 &&
           static_cast<unsigned long long>(st.st_dev) == dev &&
           static_cast<unsigned long long>(st.st_ino) == ino;
}

Output decide_output() {
    struct stat st {};
    if (::fstat(STDERR_FILENO, &st) != 0) {
        return Output::syslog;  // no standard error at all
    }
    if (style == LogStyle::plain) {
        return Output::plain;
    }
    if (style == LogStyle::journal || stderr_is_journal(st)) {
        return Output::journal;
    }
    if (S_ISCHR(st.st_mode) && st.st_rdev == makedev(1, 3)) {
        return Output::syslog;  // /dev/null
    }
    return Output::plain;
}

// The text with every byte outside printable ASCII written as \xNN, cut to fit.
std::string escaped(const char* text, std::size_t room) {
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        char piece[5] = {static_cast<char>(c), '\0'};
        if (c < 0x20 || c >= 0x7F || c == '\\') {
            std::snprintf(piece, sizeof piece, c == '\\' ? "\\\\" : "\\x%02X", c);
        }
        if (out.size() + std::strlen(piece) > room) {
            break;
        }
        out += piece;
    }
    return out;
}

const char* plain_marker(LogLevel level) {
    switch (level) {
        case LogLevel::error:
            return "error: ";
        case LogLevel::warning:
            return "warning: ";
        default:
            return "";
    }
}

void write_all(const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(STDERR_FILENO, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

void emit(LogLevel level, const char* format, va_list args) {
    char text[LOG_LINE_SIZE];
    const int saved_errno = errno;
    std::vsnprintf(text, sizeof text, format, args);
    errno = saved_errno;
    // Room for the longest prefix and the end of line.
    const std::string message = escaped(text, LOG_LINE_SIZE - 16);

    std::lock_guard<std::mutex> lock(log_mutex);
    if (sink) {
        sink(level, message);
        return;
    }
    if (output == Output::undecided) {
        output = decide_output();
        if (output == Output::syslog) {
            ::openlog("tarnix", LOG_PID | LOG_NDELAY, LOG_DAEMON);
        }
    }
    std::string line;
    switch (output) {
        case Output::syslog:
            ::syslog(static_cast<int>(level), "%s", message.c_str());
            return;
        case Output::journal:
            line = "<" + std::to_string(static_cast<int>(level)) + ">";
            break;
        default:
            line = plain_marker(level);
            break;
    }
    line += message;
    line += '\n';
    write_all(line.data(), line.size());
}

}  // namespace

void set_log_style(LogStyle new_style) {
    std::lock_guard<std::mutex> lock(log_mutex);
    style = new_style;
    output = Output::undecided;
}

void set_log_sink(LogSink new_sink) {
    std::lock_guard<std::mutex> lock(log_mutex);
    sink = std::move(new_sink);
}

void log_message(LogLevel level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    emit(level, format, args);
    va_end(args);
}

#define VAROLAN_LOG_AT(name, level)      \
    void name(const char* format, ...) { \
        va_list args;                    \
        va_start(args, format);          \
        emit(level, format, args);       \
        va_end(args);                    \
    }

VAROLAN_LOG_AT(log_error, LogLevel::error)
VAROLAN_LOG_AT(log_warning, LogLevel::warning)
VAROLAN_LOG_AT(log_notice, LogLevel::notice)
VAROLAN_LOG_AT(log_info, LogLevel::info)

#undef VAROLAN_LOG_AT

}  // namespace varolan
