#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include <gtest/gtest.h>

#include "platform/core/clock.h"
#include "platform/core/event.h"
#include "platform/core/fd.h"
#include "platform/core/limits.h"
#include "platform/core/thread.h"
#include "platform/core/thread_event.h"
#include "platform/core/wait_set.h"
#include "tests/support/fake_clock.h"
#include "tests/support/process.h"
#include "tests/support/wait_until.h"

namespace varolan {
namespace {

TEST(UniqueFd, ClosesOnDestructionAndMove) {
    int before = test::count_open_fds();
    {
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        UniqueFd a(p[0]);
        UniqueFd b(p[1]);
        UniqueFd c(std::move(a));
        EXPECT_FALSE(a.valid());
        EXPECT_TRUE(c.valid());
        b = std::move(c);  // closes the write end, takes the read end
        EXPECT_EQ(test::count_open_fds(), before + 1);
    }
    EXPECT_EQ(test::count_open_fds(), before);
}

// Both kinds of event (the pollable one and the futex one) keep the same
// auto-reset and manual-reset rules.
template <typename E>
class EventKinds : public ::testing::Test {};
using EventTypes = ::testing::Types<Event, ThreadEvent>;
TYPED_TEST_SUITE(EventKinds, EventTypes);

TYPED_TEST(EventKinds, AutoResetReleasesOneWaitPerSet) {
    TypeParam e;
    ASSERT_TRUE(e.create(false, false));
    EXPECT_EQ(e.wait(0), WaitResult::timeout);
    e.set();
    e.set();  // two sets before a wait still release only one wait: an event, not a semaphore
    EXPECT_EQ(e.wait(0), WaitResult::signaled);
    EXPECT_EQ(e.wait(0), WaitResult::timeout);
    EXPECT_FALSE(e.try_consume());
    e.set();
    EXPECT_TRUE(e.try_consume());
    EXPECT_FALSE(e.try_consume());
}

TYPED_TEST(EventKinds, ManualResetStaysSetUntilReset) {
    TypeParam e;
    ASSERT_TRUE(e.create(true, true));
    EXPECT_EQ(e.wait(0), WaitResult::signaled);
    EXPECT_EQ(e.wait(0), WaitResult::signaled);
    e.reset();
    EXPECT_EQ(e.wait(0), WaitResult::timeout);
}

TYPED_TEST(EventKinds, ATimedWaitEndsAndAClosedEventFails) {
    TypeParam e;
    EXPECT_EQ(e.wait(0), WaitResult::failed) << "never created";
    ASSERT_TRUE(e.create(false, false));
    EXPECT_EQ(e.wait(20), WaitResult::timeout);
    e.close();
    EXPECT_FALSE(e.valid());
    EXPECT_FALSE(e.set());
    EXPECT_EQ(e.wait(INFINITE_WAIT), WaitResult::failed);
}

// Two threads hand a token back and forth many times, each setting the
// other's event and waiting on its own: a set that slips in between a
// waiter's test and its sleep must still wake it. A lost wake-up shows as a
// wait that times out.
TYPED_TEST(EventKinds, PingPongLosesNoWakeUp) {
    TypeParam ping;
    TypeParam pong;
    ASSERT_TRUE(ping.create(false, false));
    ASSERT_TRUE(pong.create(false, false));
    constexpr int rounds = 20000;
    std::atomic<int> lost{0};
    Thread other;
    ASSERT_TRUE(other.start([&] {
        for (int i = 0; i < rounds; ++i) {
            if (ping.wait(10000) != WaitResult::signaled) {
                lost.fetch_add(1);
                return;
            }
            pong.set();
        }
    }));
    for (int i = 0; i < rounds && lost.load() == 0; ++i) {
        ping.set();
        if (pong.wait(10000) != WaitResult::signaled) {
            lost.fetch_add(1);
            ping.set();  // let the other thread finish
            break;
        }
    }
    other.join();
    EXPECT_EQ(lost.load(), 0);
}

TEST(Event, WakesAWaiterOnAnotherThreadAndPollsWithDescriptors) {
    Event e;
    ASSERT_TRUE(e.create(false, false));
    std::atomic<bool> woke{false};
    Thread t;
    ASSERT_TRUE(t.start([&] {
        EXPECT_EQ(e.wait(), WaitResult::signaled);
        woke.store(true);
    }));
    e.set();
    t.join();
    EXPECT_TRUE(woke.load());

    int p[2];
    ASSERT_EQ(pipe(p), 0);
    UniqueFd r(p[0]), w(p[1]);
    PollFd fds[2] = {{r.get(), poll_in, 0}, {e.poll_fd(), poll_in, 0}};
    EXPECT_EQ(poll_fds(fds, 2, 0), 0);
    e.set();
    EXPECT_EQ(poll_fds(fds, 2, 1000), 1);
    EXPECT_NE(fds[1].revents & poll_in, 0);
    EXPECT_EQ(fds[0].revents, 0);
}

// Both forms of the set (registered once, or poll() when registering was not
// possible) report the same readiness, level by level: an entry that stays
// ready is reported again, so a relay that leaves input for its next pass is
// woken for it.
TEST(WaitSet, ReportsReadyEntriesAgainUntilConsumedInBothForms) {
    for (bool registered : {true, false}) {
        SCOPED_TRACE(registered ? "registered" : "poll");
        Event a;
        Event b;
        ASSERT_TRUE(a.create(false, false));
        ASSERT_TRUE(b.create(false, false));
        PollFd fds[3] = {{a.poll_fd(), poll_in, 0}, {-1, poll_in, 0}, {b.poll_fd(), poll_in, 0}};
        WaitSet set(fds, 3);
        if (registered) {
            ASSERT_TRUE(set.register_all());
        }
        EXPECT_EQ(set.registered(), registered);
        EXPECT_EQ(set.wait(0), 0);

        b.set();
        EXPECT_EQ(set.wait(INFINITE_WAIT), 1);
        EXPECT_EQ(fds[0].revents, 0);
        EXPECT_EQ(fds[1].revents, 0) << "a negative descriptor is left out";
        EXPECT_NE(fds[2].revents & poll_in, 0);
        EXPECT_EQ(set.wait(1000), 1) << "still set: reported again";
        ASSERT_TRUE(b.try_consume());
        EXPECT_EQ(set.wait(0), 0);
        EXPECT_EQ(fds[2].revents, 0) << "revents of an earlier wait are cleared";

        // What an entry is waited for can change: left out (events 0) it is
        // not reported however ready it is; asked for again, it is.
        b.set();
        ASSERT_TRUE(set.set_events(2, 0));
        EXPECT_EQ(set.wait(0), 0) << "left out";
        ASSERT_TRUE(set.set_events(2, poll_out));
        EXPECT_EQ(set.wait(0), 1);
        EXPECT_EQ(fds[2].revents & poll_in, 0) << "not asked for";
        EXPECT_NE(fds[2].revents & poll_out, 0);
        ASSERT_TRUE(set.set_events(2, poll_in));
        EXPECT_EQ(set.wait(0), 1);
        EXPECT_NE(fds[2].revents & poll_in, 0);
        ASSERT_TRUE(b.try_consume());
        EXPECT_EQ(set.registered(), registered);

        // Set from another thread while waiting.
        Thread t;
        ASSERT_TRUE(t.start([&] { a.set(); }));
        EXPECT_EQ(set.wait(INFINITE_WAIT), 1);
        EXPECT_NE(fds[0].revents & poll_in, 0);
        t.join();
    }
}

// A timed wait allowed to end early ends within its window, never before it,
// and the thread gets its own timer slack back when the set goes.
TEST(WaitSet, EarlyEndStaysInsideItsWindowAndTheThreadSlackIsGivenBack) {
    const int own_slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    ASSERT_GT(own_slack, 0);
    Event e;
    ASSERT_TRUE(e.create(false, false));
    PollFd fds[1] = {{e.poll_fd(), poll_in, 0}};
    {
        WaitSet set(fds, 1);
        ASSERT_TRUE(set.register_all());
        std::uint64_t start = monotonic_ms();
        EXPECT_EQ(set.wait(40, 20), 0);
        EXPECT_GE(monotonic_ms() - start, 20u);
        EXPECT_EQ(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), 20 * 1000 * 1000);
        // A window wider than the wait is cut to it; the wait still ends.
        EXPECT_EQ(set.wait(5, 1000), 0);
        // Without a window a timed wait has the thread's own slack again.
        start = monotonic_ms();
        EXPECT_EQ(set.wait(10), 0);
        EXPECT_GE(monotonic_ms() - start, 10u);
        EXPECT_EQ(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), own_slack);
        EXPECT_EQ(set.wait(30, 10), 0);
    }
    EXPECT_EQ(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), own_slack);
}

TEST(Thread, ManyThreadsLeaveNothingBehind) {
    // Sanitizer runtimes start a helper thread of their own at the first
    // thread creation; count after that. A joined thread may still be listed
    // by the kernel for a moment: the counts are compared once that is over.
    std::atomic<pid_t> warm_up_id{0};
    {
        Thread warm_up;
        ASSERT_TRUE(warm_up.start([&] { warm_up_id.store(::gettid()); }));
    }
    const std::string warm_up_entry = "/proc/self/task/" + std::to_string(warm_up_id.load());
    ASSERT_TRUE(test::wait_until([&] { return ::access(warm_up_entry.c_str(), F_OK) != 0; }));
    int fds = test::count_open_fds();
    int threads = test::count_threads();
    std::atomic<int> ran{0};
    for (int i = 0; i < 50; ++i) {
        Thread t;
        ASSERT_TRUE(t.start([&] { ran.fetch_add(1); }, 64 * 1024));
    }
    EXPECT_EQ(ran.load(), 50);
    EXPECT_EQ(test::count_open_fds(), fds);
    EXPECT_TRUE(test::wait_until([&] { return test::count_threads() == threads; }))
        << test::count_threads() << " threads, " << threads << " before";
}

TEST(Thread, KeepsToTheCpuItIsPutOnAndRefusesImpossibleOnes) {
    Thread t;
    std::atomic<int> cpu{-2};
    std::atomic<bool> stayed{false};
    std::atomic<bool> refused{false};
    ASSERT_TRUE(t.start([&] {
        int here = current_cpu();
        cpu = here;
        if (here < 0 || !run_current_thread_on(here)) {
            return;
        }
        // The kernel holds it to that one CPU.
        cpu_set_t set;
        CPU_ZERO(&set);
        stayed = sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) == 1 &&
                 CPU_ISSET(here, &set);
        // Refused: no such CPU. The thread keeps running where it was allowed.
        refused = !run_current_thread_on(-1) && !run_current_thread_on(1 << 20);
    }));
    t.join();
    ASSERT_GE(cpu.load(), 0);
    EXPECT_TRUE(stayed.load());
    EXPECT_TRUE(refused.load());
}

TEST(FakeClock, RecordsSleepsWithoutWaiting) {
    test::FakeClock clock;
    std::uint64_t start = now_ms();
    std::uint64_t real = monotonic_ms();
    sleep_ms(2000);
    sleep_ms(1000);
    EXPECT_EQ(now_ms() - start, 3000u);
    EXPECT_LT(monotonic_ms() - real, 1000u);
    EXPECT_EQ(clock.sleeps(), (std::vector<std::uint32_t>{2000, 1000}));
}

TEST(Limits, OpenFileSoftLimitIsRaisedToTheHardLimit) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    if (saved.rlim_max <= 64) {
        GTEST_SKIP() << "hard limit too low to lower the soft one";
    }
    rlimit lowered = saved;
    lowered.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    EXPECT_EQ(raise_open_file_limit(), static_cast<std::uint64_t>(saved.rlim_max));
    rlimit now{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &now), 0);
    EXPECT_EQ(now.rlim_cur, saved.rlim_max);
    setrlimit(RLIMIT_NOFILE, &saved);
}

}  // namespace
}  // namespace varolan
