#include "service/session/relay.h"

#include <cstring>

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

std::int32_t filter_telnet(SessionRecord& record) {
    const std::int32_t count = record.received_count.load(std::memory_order_acquire);
    std::size_t n = count <= 0 ? 0 : static_cast<std::size_t>(count);
    if (n > BLOCK_SIZE) {
        n = BLOCK_SIZE;
    }
    HostQueue& queue = record.host_queue;
    TelnetAnswers answers;
    answers.capacity = queue.room();
    answers.data = queue.reserve(answers.capacity);
    auto* data = reinterpret_cast<unsigned char*>(record.receive_buffer);
    const std::size_t length = filter_telnet(record.telnet, record.terminal_type, data, n, answers);
    queue.commit(answers.length);
    record.receive_buffer[length] = '\0';
    return static_cast<std::int32_t>(length);
}

void queue_user_data(SessionRecord& record, const void* data, std::size_t count) {
    HostQueue& queue = record.host_queue;
    if (2 * count > queue.room()) {
        return;
    }
    unsigned char* end = queue.reserve(2 * count);
    queue.commit(double_iac(static_cast<const unsigned char*>(data), count, end));
}

bool send_host_queue(SessionRecord& record) {
    HostQueue& queue = record.host_queue;
    if (queue.empty()) {
        return true;
    }
    const bool sent = record.host_socket.send_all(queue.front(), queue.size());
    queue.clear();
    return sent;
}

std::int32_t pass_host_block(SessionRecord& record, std::int32_t count) {
    byte_count.fetch_add(count, std::memory_order_relaxed);
    const std::int32_t length = filter_telnet(record);
    send_host_queue(record);
    if (length > 0 && record.user_handle) {
        record.user_handle->write(record.receive_buffer, static_cast<std::uint32_t>(length));
    }
    return length;
}

}  // namespace varolan::service
