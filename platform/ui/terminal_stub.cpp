#include <cstdio>

#include "platform/ui/internal.h"

namespace varolan::ui::detail {

namespace {

class StderrSink : public MessageSink {
  public:
    int show_message(const char* text, unsigned style) override {
        std::fprintf(stderr, "%s: %s\n", message_title().c_str(), text);
        return (style & MB_TYPEMASK) == MB_OKCANCEL ? IDCANCEL : IDOK;
    }
};

}  // namespace

MessageSink& terminal_message_sink() {
    static StderrSink sink;
    return sink;
}

}  // namespace varolan::ui::detail
