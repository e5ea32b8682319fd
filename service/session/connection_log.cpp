#include "service/session/connection_log.h"

#include <cstdio>
#include <mutex>

#include "platform/core/log.h"

namespace varolan::service {

namespace {

// Never destroyed: detached session threads may still end connections while
// the process ends.
std::mutex& open_mutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}
ConnectionLog* open_head = nullptr;  // guarded by open_mutex

void unlist(ConnectionLog& log) {
    (log.prev != nullptr ? log.prev->next : open_head) = log.next;
    if (log.next != nullptr) {
        log.next->prev = log.prev;
    }
    log.next = log.prev = nullptr;
    log.listed = false;
}

void write_end(const ConnectionLog& log, const char* why, std::int32_t discarded) {
    char thrown[64] = "";
    if (discarded > 0) {
        std::snprintf(thrown, sizeof thrown, ", %d thrown away while the host was stuck",
                      static_cast<int>(discarded));
    }
    log_info("%s: connection to %s ended: %s; %llu bytes to the host, %llu from the host%s",
             log.session, log.destination, why,
             static_cast<unsigned long long>(log.to_host.load(std::memory_order_relaxed)),
             static_cast<unsigned long long>(log.from_host.load(std::memory_order_relaxed)),
             thrown);
}

}  // namespace

ConnectionLog::~ConnectionLog() {
    std::lock_guard<std::mutex> lock(open_mutex());
    if (listed) {
        unlist(*this);
    }
}

const char* host_end_text(HostEnd why) {
    switch (why) {
        case HostEnd::escape:
            return "escape";
        case HostEnd::escape_stuck_host:
            return "escape from a host taking nothing";
        case HostEnd::host_closed:
            return "host closed";
        case HostEnd::host_failed:
            return "sending to the host failed";
        case HostEnd::user_gone:
            return "user side gone";
        case HostEnd::line_dropped:
            return "line dropped";
        case HostEnd::user_took_nothing:
            return "host closed, user side taking nothing";
        case HostEnd::port_failed:
            return "port trouble";
        case HostEnd::stop:
            return "service stopped";
        case HostEnd::closed:
            break;
    }
    return "closed";
}

void reset_connection_counts(ConnectionLog& log) {
    log.to_host.store(0, std::memory_order_relaxed);
    log.from_host.store(0, std::memory_order_relaxed);
}

void log_connection_made(ConnectionLog& log, const char* session, const char* name,
                         const char* where) {
    {
        std::lock_guard<std::mutex> lock(open_mutex());
        if (log.listed) {
            unlist(log);
        }
        std::snprintf(log.destination, sizeof log.destination, "%s (%s)", name, where);
        log.session = session;
        log.prev = nullptr;
        log.next = open_head;
        if (open_head != nullptr) {
            open_head->prev = &log;
        }
        open_head = &log;
        log.listed = true;
    }
    log_info("%s: connected to %s", session, log.destination);
}

void log_connection_end(ConnectionLog& log, HostEnd why, std::int32_t discarded) {
    {
        std::lock_guard<std::mutex> lock(open_mutex());
        if (!log.listed) {
            return;
        }
        unlist(log);
    }
    write_end(log, host_end_text(why), discarded);
}

void log_connections_at_stop() {
    std::lock_guard<std::mutex> lock(open_mutex());
    while (open_head != nullptr) {
        ConnectionLog& log = *open_head;
        unlist(log);
        write_end(log, host_end_text(HostEnd::stop), 0);
    }
}

}  // namespace varolan::service
