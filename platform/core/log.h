// The service's log: one line per event, for the administrator.
//
// Lines go to standard error. Under systemd (standard error is the journal's
// stream, as JOURNAL_STREAM says) each line starts with its sd-daemon priority
// prefix ("<3>" error, "<4>" warning, "<5>" notice, "<6>" info), which the
// journal turns into the entry's priority. Elsewhere (tarnix console) lines are
// plain, warnings and errors marked with a word. When standard error leads
// nowhere (/dev/null, as for a service started by "tarnix start") lines go to
// syslog instead.
//
// Every line is written with one write, so lines from several threads never
// mix. Bytes outside printable ASCII (a host name typed by a user, an account
// name) are written as \xNN: nobody can forge a line or send terminal codes to
// the reader of the log. Lines longer than LOG_LINE_SIZE are cut.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace varolan {

enum class LogLevel : int { error = 3, warning = 4, notice = 5, info = 6 };

// Longest line written, prefix and end of line included.
inline constexpr std::size_t LOG_LINE_SIZE = 1024;

enum class LogStyle {
    automatic,  // journal prefixes when standard error is the journal, else plain
    plain,      // plain lines on standard error
    journal,    // prefixed lines on standard error
};
void set_log_style(LogStyle style);

void log_message(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void log_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
void log_warning(const char* format, ...) __attribute__((format(printf, 1, 2)));
void log_notice(const char* format, ...) __attribute__((format(printf, 1, 2)));
void log_info(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Tests: every line (escaped, without prefix or end of line) goes to `sink`
// instead of the output, one call at a time. An empty sink restores the output.
using LogSink = std::function<void(LogLevel level, const std::string& line)>;
void set_log_sink(LogSink sink);

}  // namespace varolan
