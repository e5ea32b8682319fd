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

#include "platform/ui/dialog.h"

namespace varolan::ui::detail {

namespace {

class NoTerminalRunner : public ModalRunner {
  public:
    int RunModal(Dialog& dialog) override {
        dialog.BeginModal();
        if (!dialog.IsEnded()) {
            dialog.EndDialog(IDCANCEL);
        }
        return dialog.GetResult();
    }
    void ShowHelp(const std::string&, const std::string&) override {}
};

}  // namespace

ModalRunner& terminal_modal_runner() {
    static NoTerminalRunner runner;
    return runner;
}

}  // namespace varolan::ui::detail
