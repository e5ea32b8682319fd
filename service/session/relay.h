// The relay steps both session kinds take while a host connection is open.
#pragma once

#include <cstddef>
#include <cstdint>

#include "service/session/session.h"

namespace varolan::service {

// Removes the command sequences from the waiting host block (the first
// received_count bytes of receive_buffer) in place, joining a command cut by
// the previous block's end, and queues the answers for the host. The caller
// makes room for telnet_answer_bound(received_count) in host_queue first.
// Returns the number of data bytes left (terminated with a NUL).
std::int32_t filter_telnet(SessionRecord& record);

// Passes the waiting host block of `count` bytes (not 0) on to the user side:
// adds `count` to byte_count, filters it, sends the answers, and writes what
// is left with one write. Returns the length written (0 when nothing was left).
// The block is not drained; the caller does that once it is done with it.
std::int32_t pass_host_block(SessionRecord& record, std::int32_t count);

// Puts `count` bytes of user data into host_queue with every byte 255 doubled
// (IAC IAC), as the host must get it. The caller makes room for 2 * `count`
// first.
void queue_user_data(SessionRecord& record, const void* data, std::size_t count);

// Sends everything waiting in host_queue. False when the host connection failed.
bool send_host_queue(SessionRecord& record);

}  // namespace varolan::service
