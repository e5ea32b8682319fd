// The relay steps both session kinds take while a host connection is open:
// forward one user block, deliver one host block, send what waits for the
// host. No step waits for good on a peer: what a destination does not take now
// waits in a bounded place (the host queue towards the host, the record's
// receive buffer towards the user), and while it waits the relay takes no more
// for that direction only (backpressure), so the other direction, the escape
// and the user side going are still served.
#pragma once

#include <cstddef>
#include <cstdint>

#include "service/session/session.h"

namespace varolan::service {

// How a relay left a host connection.
enum class RelayEnd { to_prompt, session_over };

// A host that has taken no byte for this long while bytes wait for it is
// stuck: from then on the relay reads the user's input only to look for the
// escape and throws the rest away (counted in `discarded` and
// discarded_count). A host that takes anything at all loses nothing. The same
// time bounds how long a host block waits for a user side that takes nothing
// once the host has closed.
inline constexpr std::uint32_t STUCK_MS = 3000;

// --- user to host --------------------------------------------------------------------

// True while the relay should read the user side: the host queue has room for
// a whole block with every byte doubled, or the host is stuck.
bool wants_user_input(const SessionRecord& record);

enum class UserBlock { forwarded, discarded, escape };
// One block read from the user: adds `count` to byte_count; a block holding an
// escape character is dropped whole (escape: the caller ends the connection);
// otherwise it is queued for the host with every 255 doubled, or, when the
// host is stuck and the queue has no room, thrown away and counted.
UserBlock forward_user_block(SessionRecord& record, const void* block, std::size_t count);

// Puts `count` bytes into the host queue when they fit: user data (`as_data`:
// every 255 doubled, as a login script line) or a telnet command as it is (a
// BRK). False, and nothing queued, when there is no room.
bool queue_for_host(SessionRecord& record, const void* bytes, std::size_t count, bool as_data);

// Sends what the host takes now of the host queue, without waiting. False
// when the host connection has failed.
bool send_to_host(SessionRecord& record);

// True while bytes wait for the host (the relay then waits until the host
// socket takes more, as well as for everything else).
inline bool host_output_waiting(const SessionRecord& record) {
    return !record.host_queue.empty();
}

// True when bytes wait for the host and it has taken none for STUCK_MS.
bool host_stuck(const SessionRecord& record);

// --- host to user --------------------------------------------------------------------

// Removes the command sequences from the waiting host block (the first
// received_count bytes of receive_buffer) in place, joining a command cut by
// the previous block's end, and queues the answers for the host. The caller
// makes room for telnet_answer_bound(received_count) in the host queue first.
// Returns the number of data bytes left (terminated with a NUL).
std::int32_t filter_telnet(SessionRecord& record);

enum class HostBlock {
    none,       // no block waits
    delivered,  // the block has gone to the user side whole and was drained
    waiting,    // the user side took only a part of it, or nothing
    held,       // the host queue has no room for its answers yet: not taken
    user_failed
};
// Delivers the waiting host block as far as the user side takes it now. The
// block is counted (byte_count) and filtered once, when the host queue has
// room for its answers; its data is written without waiting for good and the
// block drained once all of it is written. A block that filled the buffer is
// followed at once: the session thread receives the next one itself when the
// host has sent it, and delivers it in the same call (a few at most).
// `*written` is what the user side took in this call.
HostBlock deliver_host_block(SessionRecord& record, std::uint32_t* written);

// True while a filtered host block waits for the user side to take it.
inline bool user_output_waiting(const SessionRecord& record) {
    return record.deliver_length >= 0;
}

// True when the host has closed while a block waits for a user side that has
// taken nothing of it for STUCK_MS: the rest would never go anywhere.
bool host_gone_behind_stuck_user(const SessionRecord& record);

// What a relay that has nothing to do now must still wait for besides its
// descriptors: the time until the next timed condition is due (a host that
// takes nothing becoming stuck, a user side that takes nothing becoming
// stuck), INFINITE_WAIT when none is pending; and whether the host's closing
// must wake it (a block waits for a user side stuck past its time: the host
// closing then ends the connection).
struct RelayTimers {
    std::uint32_t wait_ms;
    bool host_end;
};
RelayTimers relay_timers(const SessionRecord& record);

// Empties the relay's state (telnet state, host queue, delivery, timers) for
// a new connection.
void reset_relay_state(SessionRecord& record);

}  // namespace varolan::service
