// The fake opener: devices by name, scripted open results, recorded attempts.
#include <cerrno>
#include <chrono>

#include "platform/serial/fake_line_impl.h"

namespace varolan::serial {

FakeCommOpener::FakeCommOpener() {
    previous_ = set_comm_opener(this);
}

FakeCommOpener::~FakeCommOpener() {
    set_comm_opener(previous_);
}

std::shared_ptr<FakeLine> FakeCommOpener::add_line(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& slot = lines_[comm_device_path(name.c_str())];
    if (!slot) {
        slot = std::make_shared<FakeLine>();
    }
    changed_.notify_all();
    return slot;
}

void FakeCommOpener::remove_line(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.erase(comm_device_path(name.c_str()));
}

std::shared_ptr<FakeLine> FakeCommOpener::line(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = lines_.find(comm_device_path(name.c_str()));
    return it == lines_.end() ? nullptr : it->second;
}

void FakeCommOpener::script_open(const std::string& name, std::vector<DWORD> results) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& q = scripted_[comm_device_path(name.c_str())];
    q.insert(q.end(), results.begin(), results.end());
}

std::vector<std::pair<std::string, std::uint64_t>> FakeCommOpener::attempts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return attempts_;
}

int FakeCommOpener::attempts_of(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string key = comm_device_path(name.c_str());
    int n = 0;
    for (const auto& a : attempts_) {
        if (a.first == key) {
            ++n;
        }
    }
    return n;
}

bool FakeCommOpener::wait_for_attempts(const std::string& name, int n,
                                       std::uint32_t timeout_ms) const {
    std::string key = comm_device_path(name.c_str());
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
        int count = 0;
        for (const auto& a : attempts_) {
            if (a.first == key) {
                ++count;
            }
        }
        return count >= n;
    });
}

DWORD FakeCommOpener::open(const char* com_name_or_path, std::unique_ptr<CommPort>& out) {
    out.reset();
    // Names and refusals mean what they mean to the real opener.
    std::string key;
    if (DWORD named = comm_open_path(com_name_or_path, &key); named != ERROR_SUCCESS) {
        return named;
    }
    std::shared_ptr<FakeLine> line;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        attempts_.emplace_back(key, varolan::now_ms());
        changed_.notify_all();
        auto q = scripted_.find(key);
        if (q != scripted_.end() && !q->second.empty()) {
            DWORD result = q->second.front();
            q->second.pop_front();
            if (result != ERROR_SUCCESS) {
                return result;
            }
        }
        auto it = lines_.find(key);
        if (it == lines_.end()) {
            return comm_open_error(ENOENT);
        }
        line = it->second;
    }
    auto& d = *line->impl_;
    std::uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(d.m);
        if (d.open) {
            return comm_open_error(EBUSY);
        }
        d.open = true;
        generation = ++d.generation;
        ++d.opens;
        d.timeouts = COMMTIMEOUTS{};
        d.add_log(LineEvent{LineEvent::opened});
        // Opening raises DTR and RTS, as a serial driver does.
        d.set_dtr(true);
        d.set_rts(true);
    }
    out = make_fake_port(line, generation);
    return ERROR_SUCCESS;
}

}  // namespace varolan::serial
