// Message boxes. Every message of a program goes through one replaceable sink:
// the terminal shows a modal box, tests install a sink that records the
// messages and answers them.
#pragma once

#include <deque>
#include <string>
#include <vector>

namespace varolan::ui {

// Dialog results and message-box answers.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;

// Message-box styles: the button set in the low nibble, the icon in the next.
inline constexpr unsigned MB_OK = 0x0000;
inline constexpr unsigned MB_OKCANCEL = 0x0001;
inline constexpr unsigned MB_TYPEMASK = 0x000F;
inline constexpr unsigned MB_ICONEXCLAMATION = 0x0030;
inline constexpr unsigned MB_ICONMASK = 0x00F0;

// Shows one modal message and returns the button pressed (IDOK or IDCANCEL).
// A box with OK only answers IDOK however it is closed; Esc on an OK/Cancel
// box answers IDCANCEL.
class MessageSink {
  public:
    virtual ~MessageSink() = default;
    virtual int show_message(const char* text, unsigned style) = 0;
};

// The title of every message box ("" until the application sets it).
void set_message_title(std::string title);
const std::string& message_title();

// The sink in force: the one installed, else the terminal's (which falls back to
// writing "title: text" on stderr when there is no terminal, answering IDOK for
// MB_OK and IDCANCEL for MB_OKCANCEL). Returns the previously installed sink;
// nullptr restores the terminal's.
MessageSink* set_message_sink(MessageSink* sink);
MessageSink& message_sink();

// Shows `text` through the sink in force. The style is passed on unchanged, so
// callers name the icon themselves (MB_OK | MB_ICONEXCLAMATION).
int message_box(const char* text, unsigned style = MB_OK | MB_ICONEXCLAMATION);
inline int message_box(const std::string& text, unsigned style = MB_OK | MB_ICONEXCLAMATION) {
    return message_box(text.c_str(), style);
}

// One message as a recording sink saw it.
struct RecordedMessage {
    std::string title;
    std::string text;
    unsigned style = 0;
    int answer = 0;
};

// A sink for tests: records every message and answers from a queue, then with
// the default answer (IDOK unless changed). An answer of IDCANCEL to an MB_OK
// box is turned into IDOK, as the real box cannot answer otherwise.
class RecordingMessageSink : public MessageSink {
  public:
    int show_message(const char* text, unsigned style) override;

    // Answer the next unanswered message with `answer` (queued in order).
    void answer_next(int answer) { answers_.push_back(answer); }
    void set_default_answer(int answer) { default_answer_ = answer; }

    const std::vector<RecordedMessage>& messages() const { return messages_; }
    // Texts only, in order (convenient for comparisons).
    std::vector<std::string> texts() const;
    void clear() {
        messages_.clear();
        answers_.clear();
    }

  private:
    std::vector<RecordedMessage> messages_;
    std::deque<int> answers_;
    int default_answer_ = IDOK;
};

// Installs a sink for the life of the object and restores the previous one.
class ScopedMessageSink {
  public:
    explicit ScopedMessageSink(MessageSink* sink) : previous_(set_message_sink(sink)) {}
    ~ScopedMessageSink() { set_message_sink(previous_); }
    ScopedMessageSink(const ScopedMessageSink&) = delete;
    ScopedMessageSink& operator=(const ScopedMessageSink&) = delete;

  private:
    MessageSink* previous_;
};

}  // namespace varolan::ui
