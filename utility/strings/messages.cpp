#include "utility/strings/messages.h"

#include <atomic>
#include <cstdio>

#include "utility/strings/strings.h"

namespace varolan::util {

namespace {

class StderrSink final : public MessageSink {
  public:
    int show_message(std::string_view text, std::string_view title, unsigned style) override {
        std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(title.size()), title.data(),
                     static_cast<int>(text.size()), text.data());
        return (style & 0x0F) == MB_OKCANCEL ? IDCANCEL : IDOK;
    }
};

StderrSink g_default_sink;
std::atomic<MessageSink*> g_sink{nullptr};

}  // namespace

void set_message_sink(MessageSink* sink) {
    g_sink.store(sink, std::memory_order_release);
}

MessageSink* message_sink() {
    MessageSink* sink = g_sink.load(std::memory_order_acquire);
    return sink != nullptr ? sink : &g_default_sink;
}

int message_box(std::string_view text, unsigned style) {
    const std::string title = load_string(IDS_APP_TITLE);
    const int answer = message_sink()->show_message(text, title, style | MB_ICONEXCLAMATION);
    if ((style & 0x0F) == MB_OKCANCEL) {
        return answer == IDOK ? IDOK : IDCANCEL;
    }
    return IDOK;
}

int message_box_id(unsigned id, unsigned style) {
    return message_box(load_string(id), style);
}

int message_box_fmt(unsigned id, std::string_view arg, unsigned style) {
    return message_box(format_string(id, arg), style);
}

}  // namespace varolan::util
