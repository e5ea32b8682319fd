#include "platform/ui/message.h"

#include <utility>

#include "platform/ui/internal.h"

namespace varolan::ui {

namespace {

std::string& title_storage() {
    static std::string title;
    return title;
}

MessageSink* installed_sink = nullptr;

}  // namespace

void set_message_title(std::string title) {
    title_storage() = std::move(title);
}

const std::string& message_title() {
    return title_storage();
}

MessageSink* set_message_sink(MessageSink* sink) {
    return std::exchange(installed_sink, sink);
}

MessageSink& message_sink() {
    if (installed_sink != nullptr) {
        return *installed_sink;
    }
    return detail::terminal_message_sink();
}

int message_box(const char* text, unsigned style) {
    return message_sink().show_message(text != nullptr ? text : "", style);
}

int RecordingMessageSink::show_message(const char* text, unsigned style) {
    int answer = default_answer_;
    if (!answers_.empty()) {
        answer = answers_.front();
        answers_.pop_front();
    }
    if ((style & MB_TYPEMASK) == MB_OK) {
        answer = IDOK;
    }
    messages_.push_back(
        RecordedMessage{message_title(), text != nullptr ? text : "", style, answer});
    return answer;
}

std::vector<std::string> RecordingMessageSink::texts() const {
    std::vector<std::string> out;
    out.reserve(messages_.size());
    for (const auto& m : messages_) {
        out.push_back(m.text);
    }
    return out;
}

}  // namespace varolan::ui
