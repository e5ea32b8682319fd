// The table of live sessions behind the administrator's listing: what a line
// holds, names made safe, the hold of a paused session, and listings taken
// while sessions come, go and count.
#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "service/lifecycle/session_report.h"
#include "service/session/globals.h"
#include "service/session/session_table.h"
#include "tests/support/wait_until.h"

namespace varolan::service {
namespace {

std::vector<SessionRow> rows_now() {
    std::vector<SessionRow> rows;
    std::string error;
    EXPECT_TRUE(parse_session_listing(session_listing(), &rows, &error)) << error;
    return rows;
}

TEST(SessionTable, LinesFollowTheSessionsLife) {
    const auto before = static_cast<std::int64_t>(std::time(nullptr));
    auto pipe = std::make_unique<SessionEntry>();
    SessionEntry serial;
    list_session(*pipe, SessionKind::pipe, "alice", SessionState::prompt);
    list_session(serial, SessionKind::serial, "/dev/ttyS0", SessionState::waiting);
    EXPECT_EQ(listed_session_count(), 2u);

    note_host_connected(*pipe, HostProtocol::telnet, "build-host", 2323);
    count_to_host(*pipe, 5);
    count_to_host(*pipe, 7);
    count_to_user(*pipe, 4096);
    note_session_state(serial, SessionState::prompt);

    std::vector<SessionRow> rows = rows_now();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].kind, "pipe");  // oldest first
    EXPECT_EQ(rows[0].place, "alice");
    EXPECT_EQ(rows[0].state, "connected");
    EXPECT_EQ(rows[0].protocol, "telnet");
    EXPECT_EQ(rows[0].host, "build-host");
    EXPECT_EQ(rows[0].port, 2323u);
    EXPECT_EQ(rows[0].bytes_to_host, 12u);
    EXPECT_EQ(rows[0].bytes_to_user, 4096u);
    EXPECT_GE(rows[0].since, before);
    EXPECT_GE(rows[0].host_since, rows[0].since);
    EXPECT_LE(rows[0].host_since, static_cast<std::int64_t>(std::time(nullptr)));
    EXPECT_EQ(rows[1].kind, "serial");
    EXPECT_EQ(rows[1].place, "/dev/ttyS0");
    EXPECT_EQ(rows[1].state, "prompt");
    EXPECT_EQ(rows[1].protocol, "-");
    EXPECT_EQ(rows[1].host, "-");
    EXPECT_EQ(rows[1].host_since, 0);

    // The connection ends: back at the prompt, the counts stay the session's.
    note_host_ended(*pipe);
    rows = rows_now();
    EXPECT_EQ(rows[0].state, "prompt");
    EXPECT_EQ(rows[0].protocol, "-");
    EXPECT_EQ(rows[0].host, "-");
    EXPECT_EQ(rows[0].port, 0u);
    EXPECT_EQ(rows[0].bytes_to_user, 4096u);

    // The next connection is an SSH shell; the counts go on from where they were.
    note_host_connected(*pipe, HostProtocol::ssh, "2001:db8::7", 22);
    count_to_host(*pipe, 1);
    rows = rows_now();
    EXPECT_EQ(rows[0].state, "connected");
    EXPECT_EQ(rows[0].protocol, "ssh");
    EXPECT_EQ(rows[0].host, "2001:db8::7");
    EXPECT_EQ(rows[0].port, 22u);
    EXPECT_EQ(rows[0].bytes_to_host, 13u);

    // A session that ends without unlisting itself is gone all the same; a
    // port listed again for its next user starts afresh, last in the list.
    pipe.reset();
    count_to_host(serial, 3);
    list_session(serial, SessionKind::serial, "/dev/ttyS0", SessionState::waiting);
    rows = rows_now();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].bytes_to_host, 0u);
    EXPECT_EQ(rows[0].state, "waiting");
    unlist_session(serial);
    unlist_session(serial);  // twice does no harm
    EXPECT_EQ(session_listing(), "");
    EXPECT_EQ(listed_session_count(), 0u);
}

TEST(SessionTable, NamesAreWrittenSafely) {
    SessionEntry entry;
    // A tab would split the line, a line end would forge another session,
    // terminal codes would reach the administrator's screen.
    list_session(entry, SessionKind::pipe, "a b\tc\\d\n\x1b[2J\xff", SessionState::prompt);
    note_host_connected(entry, HostProtocol::telnet, "h\xc3\xa9te", 23);
    const std::string line = session_listing();
    EXPECT_EQ(line.substr(0, line.find('\t', 5)), "pipe\ta\\x20b\\x09c\\x5cd\\x0a\\x1b[2J\\xff");
    std::vector<SessionRow> rows = rows_now();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].host, "h\\xc3\\xa9te");

    // A place longer than the entry holds is cut, never written past.
    const std::string long_name(SESSION_PLACE_SIZE * 2, 'n');
    list_session(entry, SessionKind::pipe, long_name.c_str(), SessionState::prompt);
    rows = rows_now();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].place, long_name.substr(0, SESSION_PLACE_SIZE - 1));
    unlist_session(entry);
}

TEST(SessionTable, APausedSessionShowsHeldUntilContinue) {
    reset_globals();
    std::atomic<bool> listed{false};
    std::atomic<bool> done{false};
    gate_hold();
    std::thread session([&] {
        SessionEntry entry;
        list_session(entry, SessionKind::pipe, "bob", SessionState::connected);
        listed = true;
        gate_pass();
        EXPECT_EQ(entry.held.load(), false);
        while (!done) {
            std::this_thread::yield();
        }
    });
    ASSERT_TRUE(test::wait_until([&] { return listed && gate_waiters() == 1; }));
    std::vector<SessionRow> rows = rows_now();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].state, "held");
    gate_release();
    EXPECT_TRUE(test::wait_until([&] {
        std::vector<SessionRow> now = rows_now();
        return now.size() == 1 && now[0].state == "connected";
    }));
    done = true;
    session.join();
    EXPECT_EQ(listed_session_count(), 0u);
    reset_globals();
}

// Sessions start, connect, count, end and start again while listings are
// taken: every listing reads whole lines of live sessions (the sanitizers
// watch the sharing), and the counts a listing shows only grow.
TEST(SessionTable, ListingsWhileSessionsComeAndGo) {
    constexpr int SESSIONS = 4;
    constexpr int ROUNDS = 300;
    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < SESSIONS; ++t) {
        threads.emplace_back([t, &finished] {
            const std::string place = "user" + std::to_string(t);
            for (int round = 0; round < ROUNDS; ++round) {
                SessionEntry entry;
                list_session(entry, SessionKind::pipe, place.c_str(), SessionState::prompt);
                note_host_connected(entry, t % 2 == 0 ? HostProtocol::telnet : HostProtocol::ssh,
                                    "host", static_cast<std::uint16_t>(1000 + t));
                for (int block = 0; block < 20; ++block) {
                    count_to_host(entry, 1);
                    count_to_user(entry, 2);
                }
                note_host_ended(entry);
                if (round % 2 == 0) {
                    unlist_session(entry);  // otherwise the destructor does it
                }
            }
            ++finished;
        });
    }
    int listings = 0;
    while (finished < SESSIONS || listings == 0) {
        for (const SessionRow& row : rows_now()) {
            EXPECT_EQ(row.place.substr(0, 4), "user");
            EXPECT_LE(row.bytes_to_host, 20u);
            EXPECT_EQ(row.bytes_to_user % 2, 0u);
            EXPECT_EQ(row.state == "connected", row.host == "host") << row.state << " " << row.host;
        }
        ++listings;
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(listed_session_count(), 0u);
}

}  // namespace
}  // namespace varolan::service
