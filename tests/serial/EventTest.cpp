// Waitable events: their state against the descriptor that multi-waits poll, racing waiters, and freeing
// an event as soon as it has been seen set.
#include "serial/platform/SerialDevice.h"

#include "DeviceTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <poll.h>
#include <thread>
#include <vector>

namespace {

bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

} // namespace

TEST(Event, DescriptorFollowsTheState) {
    TEvent automatic(false, true);
    // Made on first use, readable because the event is set.
    const int fd = automatic.Fd();
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(Readable(fd));
    EXPECT_TRUE(automatic.Wait(0)); // taken without the descriptor
    EXPECT_FALSE(automatic.IsSet());

    // Taken without the descriptor: a multi-wait must neither report the event nor wake for it, and the
    // descriptor is quiet.
    TEvent* list[] = {&automatic};
    EXPECT_EQ(WaitForAnyEvent(list, 30), -1);
    EXPECT_FALSE(Readable(fd));

    automatic.Set();
    automatic.Reset();
    EXPECT_EQ(WaitForAnyEvent(list, 0), -1);
    automatic.Set();
    EXPECT_EQ(WaitForAnyEvent(list, 1000), 0);
    EXPECT_FALSE(automatic.IsSet());
}

TEST(Event, ManualEventStaysSetAndAMultiWaitTakesTheFirstSetOne) {
    TEvent manual(true, false), automatic(false, false);
    EXPECT_FALSE(manual.Wait(0));
    manual.Set();
    manual.Set();
    EXPECT_TRUE(manual.Wait(0));
    EXPECT_TRUE(manual.Wait(0)); // stays set
    manual.Reset();
    EXPECT_FALSE(manual.IsSet());

    TEvent* list[] = {&manual, &automatic};
    automatic.Set();
    EXPECT_EQ(WaitForAnyEvent(list, 1000), 1);
    EXPECT_FALSE(automatic.IsSet());
    manual.Set();
    automatic.Set();
    EXPECT_EQ(WaitForAnyEvent(list, 1000), 0); // the first set one

    // A record on which nothing was started reads as done with 0 bytes.
    TRecord fresh;
    uint32_t n = 7;
    EXPECT_EQ(GetOverlappedResult(fresh.Ov, &n, true), 0);
    EXPECT_EQ(n, 0u);
}

TEST(Event, EachSetOfAnAutomaticEventWakesExactlyOneWaiter) {
    constexpr int kSets = 2000;
    TEvent work(false, false), stop(true, false);
    std::atomic<int> taken{0};
    // One waiter polls (descriptor), the other waits on the state alone; both race for every set.
    std::thread polling([&] {
        TEvent* list[] = {&stop, &work};
        while (WaitForAnyEvent(list, -1) == 1)
            ++taken;
    });
    std::thread waiting([&] {
        while (!stop.IsSet())
            if (work.Wait(5))
                ++taken;
    });
    for (int i = 0; i < kSets; ++i) {
        work.Set();
        // The next set only after this one was taken, so that none merge.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (work.IsSet() && std::chrono::steady_clock::now() < until)
            std::this_thread::yield();
        ASSERT_FALSE(work.IsSet()) << "set " << i << " was never taken";
    }
    stop.Set();
    polling.join();
    waiting.join();
    EXPECT_EQ(taken.load(), kSets);
}

TEST(Event, MayBeFreedAsSoonAsItWasSeenSet) {
    // The waiter frees the event the moment it sees it set, while the setter may still be inside Set
    // (writing the descriptor, waking waiters). The sanitizer build turns a late touch into a failure.
    for (int i = 0; i < 300; ++i) {
        auto event = std::make_unique<TEvent>(false, false);
        if (i % 2) {
            ASSERT_GE(event->Fd(), 0);
        }
        TEvent* raw = event.get();
        std::thread setter([raw] { raw->Set(); });
        if (i % 2) {
            TEvent* list[] = {raw};
            ASSERT_EQ(WaitForAnyEvent(list, 10000), 0);
        } else {
            ASSERT_TRUE(event->Wait(10000));
        }
        event.reset();
        setter.join();
    }
}
