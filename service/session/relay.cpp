#include "service/session/relay.h"

#include <cstring>

#include "platform/core/clock.h"

namespace varolan::service {

unsigned char* HostQueue::reserve(std::size_t n) {
    if (HOST_QUEUE_SIZE - tail < n && head > 0) {
        std::memmove(bytes, bytes + head, size());
        tail -= head;
        head = 0;
    }
    return bytes + tail;
}

void HostQueue::consume(std::size_t n) {
    head += n < size() ? n : size();
    if (head == tail) {
        clear();
    }
}

namespace {

// Room for a user block with every byte doubled.
constexpr std::size_t USER_BLOCK_ROOM = 2 * BLOCK_SIZE;

// Bytes are about to be queued: when none waited before, the host's wait
// starts now.
void note_host_wait(SessionRecord& record) {
    if (record.host_queue.empty()) {
        record.host_waiting_since = now_ms();
    }
}

}  // namespace

void reset_relay_state(SessionRecord& record) {
    record.telnet = TelnetState{};
    record.host_queue.clear();
    record.deliver_length = -1;
    record.deliver_offset = 0;
    record.host_waiting_since = 0;
    record.user_waiting_since = 0;
    record.discarded = 0;
}

bool host_stuck(const SessionRecord& record) {
    return !record.host_queue.empty() && now_ms() - record.host_waiting_since >= STUCK_MS;
}

bool wants_user_input(const SessionRecord& record) {
    return record.host_queue.room() >= USER_BLOCK_ROOM || host_stuck(record);
}

bool queue_for_host(SessionRecord& record, const void* bytes, std::size_t count, bool as_data) {
    HostQueue& queue = record.host_queue;
    const std::size_t need = as_data ? 2 * count : count;
    if (need > queue.room()) {
        return false;
    }
    note_host_wait(record);
    unsigned char* end = queue.reserve(need);
    if (as_data) {
        queue.commit(double_iac(static_cast<const unsigned char*>(bytes), count, end));
    } else {
        std::memcpy(end, bytes, count);
        queue.commit(count);
    }
    return true;
}

UserBlock forward_user_block(SessionRecord& record, const void* block, std::size_t count) {
    byte_count.fetch_add(static_cast<std::int32_t>(count), std::memory_order_relaxed);
    if (block_has_escape(static_cast<const char*>(block), count)) {
        return UserBlock::escape;
    }
    // An SSH shell takes the bytes as they are; a telnet host needs every 255 doubled.
    if (queue_for_host(record, block, count, !host_is_ssh(record))) {
        count_to_host(record.listing, count);
        return UserBlock::forwarded;
    }
    // Read without room only because the host is stuck: the escape was looked
    // for, the rest cannot go anywhere.
    record.discarded += static_cast<std::int32_t>(count);
    discarded_count.fetch_add(static_cast<std::int32_t>(count), std::memory_order_relaxed);
    return UserBlock::discarded;
}

bool send_to_host(SessionRecord& record) {
    HostQueue& queue = record.host_queue;
    if (queue.empty()) {
        return true;
    }
    const int sent = record.host_socket.send_available(queue.front(), queue.size());
    if (sent < 0) {
        return false;
    }
    if (sent > 0) {
        queue.consume(static_cast<std::size_t>(sent));
        add_bytes(record.connection_log.to_host, static_cast<std::size_t>(sent));
        record.host_waiting_since = now_ms();
    }
    return true;
}

std::int32_t filter_telnet(SessionRecord& record) {
    const std::int32_t count = record.received_count.load(std::memory_order_acquire);
    std::size_t n = count <= 0 ? 0 : static_cast<std::size_t>(count);
    if (n > BLOCK_SIZE) {
        n = BLOCK_SIZE;
    }
    HostQueue& queue = record.host_queue;
    const bool was_empty = queue.empty();
    TelnetAnswers answers;
    answers.capacity = queue.room();
    answers.data = queue.reserve(answers.capacity);
    auto* data = reinterpret_cast<unsigned char*>(record.receive_buffer);
    const std::size_t length = filter_telnet(record.telnet, record.terminal_type, data, n, answers);
    if (answers.length > 0 && was_empty) {
        record.host_waiting_since = now_ms();
    }
    queue.commit(answers.length);
    record.receive_buffer[length] = '\0';
    return static_cast<std::int32_t>(length);
}

namespace {

// Milliseconds from `now` until STUCK_MS after `since` (0 when past).
std::uint32_t until_stuck(std::uint64_t since, std::uint64_t now) {
    const std::uint64_t due = since + STUCK_MS;
    return due > now ? static_cast<std::uint32_t>(due - now) : 0;
}

// Host blocks one call delivers at most, each after the first taken by the
// session thread itself, before the pass looks at the client again.
constexpr int BLOCKS_PER_PASS = 16;

// Delivers the waiting block as far as the user side takes it now; leaves it
// in the record (not drained) once all of it has gone.
HostBlock deliver_one_block(SessionRecord& record, std::int32_t count, std::uint32_t* written) {
    if (record.deliver_length < 0) {
        // Its answers must fit before the block is taken; until then the
        // reader waits, and so does the host's sending. An SSH shell's
        // output calls for no answers.
        if (!host_is_ssh(record) &&
            record.host_queue.room() < telnet_answer_bound(static_cast<std::size_t>(count))) {
            return HostBlock::held;
        }
        byte_count.fetch_add(count, std::memory_order_relaxed);
        record.deliver_length = host_is_ssh(record) ? count : filter_telnet(record);
        record.deliver_offset = 0;
        record.user_waiting_since = now_ms();
    }
    const auto left = static_cast<std::uint32_t>(record.deliver_length - record.deliver_offset);
    if (left > 0) {
        if (!record.user_handle) {
            return HostBlock::user_failed;
        }
        std::uint32_t done = 0;
        const bool ok = record.user_handle->write_available(
            record.receive_buffer + record.deliver_offset, left, &done);
        if (done > left) {
            done = left;
        }
        if (done > 0) {
            record.deliver_offset += static_cast<std::int32_t>(done);
            count_to_user(record.listing, done);
            record.user_waiting_since = now_ms();
            *written += done;
        }
        if (!ok) {
            return HostBlock::user_failed;
        }
        if (done < left) {
            return HostBlock::waiting;
        }
    }
    record.deliver_length = -1;
    record.deliver_offset = 0;
    return HostBlock::delivered;
}

// The block of `count` received bytes has gone. A block that filled the
// buffer says the host is sending more: the session thread, awake anyway,
// receives the next one itself without waiting, while the reader stays
// parked on the count (so only one thread ever receives), which spares the
// two thread switches of a hand-over. When the host has nothing now (or has
// closed), the reader gets the buffer back and waits for the host as usual.
bool take_next_host_block(SessionRecord& record, std::int32_t count) {
    if (count >= static_cast<std::int32_t>(BLOCK_SIZE)) {
        const int n = record.host_socket.recv_available(record.receive_buffer, BLOCK_SIZE);
        if (n > 0) {
            record.receive_buffer[n] = '\0';
            record.received_count.store(n, std::memory_order_release);
            return true;
        }
    }
    drain_host_block(record);
    return false;
}

}  // namespace

HostBlock deliver_host_block(SessionRecord& record, std::uint32_t* written) {
    *written = 0;
    for (int blocks = 0; blocks < BLOCKS_PER_PASS; ++blocks) {
        const std::int32_t count = host_block_count(record);
        if (count == 0) {
            return HostBlock::none;
        }
        const HostBlock result = deliver_one_block(record, count, written);
        if (result != HostBlock::delivered || !take_next_host_block(record, count)) {
            return result;
        }
    }
    // A long run went in one call and the next block is in already: the
    // pass's wait must not sleep on it.
    record.block_event.set();
    return HostBlock::delivered;
}

RelayTimers relay_timers(const SessionRecord& record) {
    RelayTimers timers{INFINITE_WAIT, false};
    const bool host_timer = host_output_waiting(record) && !wants_user_input(record);
    const bool user_timer = user_output_waiting(record);
    if (!host_timer && !user_timer) {
        return timers;
    }
    const std::uint64_t now = now_ms();
    if (host_timer) {
        timers.wait_ms = until_stuck(record.host_waiting_since, now);
    }
    if (user_timer) {
        const std::uint32_t left = until_stuck(record.user_waiting_since, now);
        if (left == 0) {
            timers.host_end = true;
        } else if (left < timers.wait_ms) {
            timers.wait_ms = left;
        }
    }
    return timers;
}

bool host_gone_behind_stuck_user(const SessionRecord& record) {
    return user_output_waiting(record) && now_ms() - record.user_waiting_since >= STUCK_MS &&
           record.host_socket.peer_finished();
}

}  // namespace varolan::service
