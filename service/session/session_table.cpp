#include "service/session/session_table.h"

#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <vector>

#include "service/session/globals.h"

namespace varolan::service {

namespace {

// Never destroyed: detached session threads may still unlist while the
// process ends.
std::mutex& table_mutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}
SessionEntry* first = nullptr;  // guarded by table_mutex; oldest first
SessionEntry* last = nullptr;   // guarded by table_mutex
std::uint32_t count = 0;        // guarded by table_mutex

thread_local SessionEntry* this_thread_session = nullptr;

std::int64_t wall_seconds() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

// What one line needs, copied under the lock.
struct Row {
    SessionKind kind;
    SessionState state;
    bool held;
    char place[SESSION_PLACE_SIZE];
    char host[SESSION_HOST_SIZE];
    std::uint16_t port;
    HostProtocol protocol;
    std::uint64_t to_host;
    std::uint64_t to_user;
    std::int64_t since;
    std::int64_t host_since;
};

void append_escaped(std::string& out, const char* text) {
    if (*text == '\0') {
        out += '-';
        return;
    }
    for (const char* p = text; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c < '!' || c > '~' || c == '\\') {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
}

const char* state_text(const Row& row) {
    if (row.held) {
        return "held";
    }
    switch (row.state) {
        case SessionState::waiting:
            return "waiting";
        case SessionState::connected:
            return "connected";
        case SessionState::prompt:
            break;
    }
    return "prompt";
}

}  // namespace

SessionEntry::~SessionEntry() {
    unlist_session(*this);
}

void list_session(SessionEntry& entry, SessionKind kind, const char* place, SessionState state) {
    unlist_session(entry);
    entry.bytes_to_host.store(0, std::memory_order_relaxed);
    entry.bytes_to_user.store(0, std::memory_order_relaxed);
    entry.state.store(state, std::memory_order_relaxed);
    entry.held.store(false, std::memory_order_relaxed);
    {
        std::lock_guard<std::mutex> lock(table_mutex());
        entry.kind = kind;
        bounded_copy(entry.place, sizeof entry.place, place);
        entry.host[0] = '\0';
        entry.port = 0;
        entry.since = wall_seconds();
        entry.host_since = 0;
        entry.prev = last;
        entry.next = nullptr;
        (last != nullptr ? last->next : first) = &entry;
        last = &entry;
        entry.listed = true;
        ++count;
    }
    this_thread_session = &entry;
}

void unlist_session(SessionEntry& entry) {
    if (this_thread_session == &entry) {
        this_thread_session = nullptr;
    }
    std::lock_guard<std::mutex> lock(table_mutex());
    if (!entry.listed) {
        return;
    }
    (entry.prev != nullptr ? entry.prev->next : first) = entry.next;
    (entry.next != nullptr ? entry.next->prev : last) = entry.prev;
    entry.prev = entry.next = nullptr;
    entry.listed = false;
    --count;
}

// The state changes with the destination under the lock, so that a listing
// never shows a connection without its host or a host without its connection.
void note_host_connected(SessionEntry& entry, HostProtocol protocol, const char* host,
                         std::uint16_t port) {
    std::lock_guard<std::mutex> lock(table_mutex());
    entry.protocol = protocol;
    bounded_copy(entry.host, sizeof entry.host, host);
    entry.port = port;
    entry.host_since = wall_seconds();
    note_session_state(entry, SessionState::connected);
}

void note_host_ended(SessionEntry& entry) {
    std::lock_guard<std::mutex> lock(table_mutex());
    if (entry.state.load(std::memory_order_relaxed) == SessionState::connected) {
        note_session_state(entry, SessionState::prompt);
    }
    entry.host[0] = '\0';
    entry.port = 0;
    entry.host_since = 0;
}

void note_this_thread_held(bool held) {
    if (this_thread_session != nullptr) {
        this_thread_session->held.store(held, std::memory_order_relaxed);
    }
}

std::uint32_t listed_session_count() {
    std::lock_guard<std::mutex> lock(table_mutex());
    return count;
}

std::string session_listing() {
    std::vector<Row> rows;
    {
        std::unique_lock<std::mutex> lock(table_mutex());
        // Room is made outside the lock, so that no session waits for memory.
        while (rows.capacity() < count) {
            const std::uint32_t wanted = count;
            lock.unlock();
            rows.reserve(wanted);
            lock.lock();
        }
        for (const SessionEntry* e = first; e != nullptr; e = e->next) {
            Row& row = rows.emplace_back();
            row.kind = e->kind;
            row.state = e->state.load(std::memory_order_relaxed);
            row.held = e->held.load(std::memory_order_relaxed);
            bounded_copy(row.place, sizeof row.place, e->place);
            bounded_copy(row.host, sizeof row.host, e->host);
            row.port = e->port;
            row.protocol = e->protocol;
            row.to_host = e->bytes_to_host.load(std::memory_order_relaxed);
            row.to_user = e->bytes_to_user.load(std::memory_order_relaxed);
            row.since = e->since;
            row.host_since = e->host_since;
        }
    }
    std::string out;
    out.reserve(rows.size() * 96);
    for (const Row& row : rows) {
        out += row.kind == SessionKind::serial ? "serial\t" : "pipe\t";
        append_escaped(out, row.place);
        out += '\t';
        out += state_text(row);
        out += '\t';
        if (row.host[0] == '\0') {
            out += '-';
        } else {
            out += row.protocol == HostProtocol::ssh ? "ssh" : "telnet";
        }
        out += '\t';
        append_escaped(out, row.host);
        char numbers[128];
        std::snprintf(
            numbers, sizeof numbers, "\t%u\t%" PRIu64 "\t%" PRIu64 "\t%" PRId64 "\t%" PRId64 "\n",
            static_cast<unsigned>(row.port), row.to_host, row.to_user, row.since, row.host_since);
        out += numbers;
    }
    return out;
}

}  // namespace varolan::service
