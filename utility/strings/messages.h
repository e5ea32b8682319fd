// The one way the utility shows a message: a modal box titled "Varolan
// Maintenance" with the exclamation icon and an OK button, or OK and Cancel for
// a question. The screen (or a test) supplies the box through a MessageSink.
#pragma once

#include <string>
#include <string_view>

namespace varolan::util {

// Box styles and answers, with their usual numeric values.
inline constexpr unsigned MB_OK = 0x00000000;
inline constexpr unsigned MB_OKCANCEL = 0x00000001;
inline constexpr unsigned MB_ICONEXCLAMATION = 0x00000030;
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;

class MessageSink {
  public:
    virtual ~MessageSink() = default;
    // Shows `text` modally and returns IDOK or IDCANCEL. `style` is MB_OK or
    // MB_OKCANCEL, ORed with MB_ICONEXCLAMATION.
    virtual int show_message(std::string_view text, std::string_view title, unsigned style) = 0;
};

// Installs the process-wide sink (not owned); nullptr restores the default,
// which writes the text to standard error and answers IDOK to an OK box and
// IDCANCEL to a question (nobody is there to confirm it).
void set_message_sink(MessageSink* sink);
MessageSink* message_sink();

// Shows `text` through the installed sink with the utility's title and icon.
// `style` is MB_OK or MB_OKCANCEL. Returns IDOK or IDCANCEL.
int message_box(std::string_view text, unsigned style = MB_OK);
// The same with a string-table entry.
int message_box_id(unsigned id, unsigned style = MB_OK);
// The same with a string-table entry whose one conversion (%s, %d or %1) is
// replaced by `arg`, as format_string does.
int message_box_fmt(unsigned id, std::string_view arg, unsigned style = MB_OK);

}  // namespace varolan::util
