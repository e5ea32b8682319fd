#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/core/log.h"
#include "tests/support/log_capture.h"

namespace varolan {
namespace {

// Standard error redirected into a pipe for the life of the object.
class StderrPipe {
  public:
    StderrPipe() {
        if (::pipe(fds_) == 0) {
            saved_ = ::dup(STDERR_FILENO);
            ::dup2(fds_[1], STDERR_FILENO);
            ::close(fds_[1]);
        }
    }
    ~StderrPipe() {
        restore();
        ::close(fds_[0]);
        set_log_style(LogStyle::automatic);
    }
    void restore() {
        if (saved_ >= 0) {
            ::dup2(saved_, STDERR_FILENO);
            ::close(saved_);
            saved_ = -1;
        }
    }
    // Everything written, once standard error has been put back.
    std::string drain() {
        restore();
        std::string out;
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(fds_[0], buffer, sizeof buffer)) > 0) {
            out.append(buffer, static_cast<std::size_t>(n));
        }
        return out;
    }
    // "<device>:<inode>" of the pipe, as systemd puts it in JOURNAL_STREAM.
    std::string identity() const {
        struct stat st {};
        ::fstat(STDERR_FILENO, &st);
        return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    }

  private:
    int fds_[2] = {-1, -1};
    int saved_ = -1;
};

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
        lines.push_back(text.substr(start, nl - start));
    }
    EXPECT_EQ(start, text.size()) << "a line without its end";
    return lines;
}

// The journal is recognised by its stream identity; lines from many threads
// arrive whole, each with its priority, and nothing a caller passes can forge
// a line or carry control bytes.
TEST(Log, JournalLinesAreWholePrefixedAndEscaped) {
    StderrPipe err;
    setenv("JOURNAL_STREAM", err.identity().c_str(), 1);
    set_log_style(LogStyle::automatic);
    constexpr int THREADS = 4;
    constexpr int LINES = 50;
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < LINES; ++i) {
                log_warning("thread %d line %d %s", t, i, std::string(100, 'a' + t).c_str());
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    log_info("user typed %s", "evil\n<3>forged\x1b[2J\xff");
    log_error("%s", std::string(5000, 'x').c_str());
    unsetenv("JOURNAL_STREAM");

    std::vector<std::string> lines = split_lines(err.drain());
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(THREADS * LINES + 2));
    std::set<std::string> seen;
    for (int i = 0; i < THREADS * LINES; ++i) {
        const std::string& line = lines[static_cast<std::size_t>(i)];
        int t = -1;
        int n = -1;
        ASSERT_EQ(std::sscanf(line.c_str(), "<4>thread %d line %d", &t, &n), 2) << line;
        ASSERT_EQ(line, "<4>thread " + std::to_string(t) + " line " + std::to_string(n) + " " +
                            std::string(100, static_cast<char>('a' + t)));
        seen.insert(line);
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(THREADS * LINES));
    EXPECT_EQ(lines[THREADS * LINES], "<6>user typed evil\\x0A<3>forged\\x1B[2J\\xFF");
    const std::string& longest = lines[THREADS * LINES + 1];
    EXPECT_EQ(longest.rfind("<3>xxx", 0), 0u);
    EXPECT_LT(longest.size(), LOG_LINE_SIZE);
}

// Without the journal (tarnix console) lines are plain, warnings and errors
// marked; a test sink takes the lines instead of the output.
TEST(Log, PlainLinesAndTheTestSink) {
    StderrPipe err;
    unsetenv("JOURNAL_STREAM");
    set_log_style(LogStyle::plain);
    log_notice("started");
    log_error("cannot %s", "listen");
    {
        test::LogCapture capture;
        log_warning("captured");
        EXPECT_EQ(capture.lines(), std::vector<std::string>{"<4>captured"});
    }
    EXPECT_EQ(err.drain(), "started\nerror: cannot listen\n");
}

}  // namespace
}  // namespace varolan
