// Collects the lines this process logs for the life of the object.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/core/log.h"

namespace varolan::test {

class LogCapture {
  public:
    LogCapture() {
        set_log_sink([this](LogLevel level, const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back("<" + std::to_string(static_cast<int>(level)) + ">" + line);
        });
    }
    ~LogCapture() { set_log_sink(nullptr); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Every line so far, each as "<priority>text".
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    // The number of lines that contain `needle`.
    int count(const std::string& needle) const {
        std::lock_guard<std::mutex> lock(mutex_);
        int n = 0;
        for (const std::string& line : lines_) {
            n += line.find(needle) != std::string::npos ? 1 : 0;
        }
        return n;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace varolan::test
