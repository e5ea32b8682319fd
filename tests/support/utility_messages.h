// A message sink for tests of the configuration utility: records every box it
// is asked to show and answers questions from a script (IDOK when the script
// is empty). Installs itself for its lifetime.
#pragma once

#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "utility/strings/messages.h"

namespace varolan::test {

class RecordingMessageSink final : public util::MessageSink {
  public:
    struct Shown {
        std::string text;
        std::string title;
        unsigned style = 0;
    };

    RecordingMessageSink() { util::set_message_sink(this); }
    ~RecordingMessageSink() override { util::set_message_sink(nullptr); }
    RecordingMessageSink(const RecordingMessageSink&) = delete;
    RecordingMessageSink& operator=(const RecordingMessageSink&) = delete;

    int show_message(std::string_view text, std::string_view title, unsigned style) override {
        shown.push_back({std::string(text), std::string(title), style});
        if (answers.empty()) {
            return util::IDOK;
        }
        const int answer = answers.front();
        answers.pop_front();
        return answer;
    }

    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const Shown& s : shown) {
            out.push_back(s.text);
        }
        return out;
    }
    void clear() { shown.clear(); }

    std::vector<Shown> shown;
    std::deque<int> answers;  // answers to the next boxes, in order
};

}  // namespace varolan::test
