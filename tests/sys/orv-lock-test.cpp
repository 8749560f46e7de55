#include "orv-lock.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "orv-result.h"
#include "orv-trace.h"
#include "support/orv-test-support.h"

namespace {

using namespace std::chrono_literals;

// A settable clock for the locks.
std::atomic<int64_t> s_nNow{1000};
int64_t FakeClock() {
    return s_nNow.load();
}

class LockTest : public ::testing::Test {
protected:
    void SetUp() override {
        s_nNow = 1000;
        m_pfnClock = OrvSetLockClock(&FakeClock);
    }
    void TearDown() override { OrvSetLockClock(m_pfnClock); }
    size_t Asserts() { return m_reports.Count(); }

private:
    OrvLockClockFn m_pfnClock = nullptr;
    OrvReportCapture m_reports;
};

TEST_F(LockTest, CriticalSectionIsReentrantAndExclusive) {
    COrvCriticalSection cs("test");
    cs.Lock("outer");
    EXPECT_TRUE(cs.TryLock());

    bool bOtherGot = true;
    std::thread([&] { bOtherGot = cs.TryLock(); }).join();
    EXPECT_FALSE(bOtherGot);

    // Another thread's unlock is refused and changes nothing.
    std::thread([&] { cs.Unlock(); }).join();
    EXPECT_EQ(2, cs.GetDepth());
    EXPECT_EQ(1u, Asserts());

    cs.Unlock();
    cs.Unlock();
    std::thread([&] {
        bOtherGot = cs.TryLock();
        if (bOtherGot)
            cs.Unlock();
    }).join();
    EXPECT_TRUE(bOtherGot);

    {
        TvAutoCriticalSection guard(cs);
        guard.Unlock();
        guard.Unlock();  // a second unlock does nothing
        guard.Lock();
    }
    EXPECT_EQ(0, cs.GetDepth());
    EXPECT_EQ(1u, Asserts());
}

TEST_F(LockTest, LockUnlessStaleGivesUpOnOldHolders) {
    COrvStaleLock lock;
    ASSERT_TRUE(lock.LockUnlessStale(5));

    s_nNow = 1006;  // held for 6 s: a second caller declines at once
    bool bGot = true;
    std::thread([&] { bGot = lock.LockUnlessStale(5); }).join();
    EXPECT_FALSE(bGot);

    s_nNow = 1003;  // fresh enough: the caller waits for the holder
    std::atomic<bool> bWaiterGot{false};
    std::thread waiter([&] {
        COrvStaleLockGuard guard;
        bWaiterGot = guard.LockUnlessStale(lock, 5);
    });
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(bWaiterGot.load());
    lock.Unlock();
    waiter.join();
    EXPECT_TRUE(bWaiterGot.load());
}

TEST_F(LockTest, EventResetModesTimeoutAndClosedTexts) {
    int nCode = -1;
    COrvStringA strError;
    COrvEvent closed;
    EXPECT_FALSE(closed.Wait(0, nCode, strError));
    EXPECT_EQ(enNetServer, nCode);

    COrvEvent manual;
    ASSERT_TRUE(manual.Create("manual", true, false, nCode, strError));
    EXPECT_FALSE(manual.Wait(10, nCode, strError));
    EXPECT_EQ(enNetTimeout, nCode);
    ASSERT_TRUE(manual.Set());
    EXPECT_TRUE(manual.Wait(0) && manual.Wait(0));  // stays set

    COrvEvent automatic;
    ASSERT_TRUE(automatic.Create("auto", false, true));
    EXPECT_TRUE(automatic.Wait(0, nCode, strError));
    EXPECT_EQ(enNetOk, nCode);
    EXPECT_FALSE(automatic.Wait(0));  // one successful wait reset it

    // A waiter on another thread is released by Set.
    std::thread setter([&] {
        std::this_thread::sleep_for(20ms);
        automatic.Set();
    });
    EXPECT_TRUE(automatic.Wait(5000));
    setter.join();
}

TEST_F(LockTest, MutexExcludesAcrossObjectsAndIsReentrant) {
    OrvTempDir dir;
    const std::string path = dir.File("named.lock");
    COrvMutex first(path.c_str());
    COrvMutex second(path.c_str());
    int nCode = -1;
    COrvStringA strError;
    ASSERT_TRUE(first.Lock(kOrvInfinite, nCode, strError)) << static_cast<const char*>(strError);
    ASSERT_TRUE(first.Lock(0));  // re-entrant

    EXPECT_FALSE(second.Lock(20, nCode, strError));
    EXPECT_EQ(enNetTimeout, nCode);

    // Another thread waits for the same object.
    std::atomic<bool> bGot{false};
    std::thread waiter([&] {
        bGot = first.Lock(5000);
        if (bGot)
            first.Unlock();
    });
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(bGot.load());
    // A thread that does not own it cannot release it.
    std::thread([&] { first.Unlock(); }).join();
    EXPECT_EQ(1u, Asserts());
    first.Unlock();
    EXPECT_FALSE(bGot.load());  // still one level held
    first.Unlock();
    waiter.join();
    EXPECT_TRUE(bGot.load());
    EXPECT_TRUE(second.Lock(1000));
    second.Unlock();
    EXPECT_STREQ("/tmp/orv-mutex-Global%5Cvexil%20run%2F1.lock",
                 COrvMutex("Global\\vexil run/1").GetPath());
}

TEST_F(LockTest, MutexOfADeadOwnerIsTaken) {
    OrvTempDir dir;
    const std::string path = dir.File("abandoned.lock");
    int toParent[2];
    ASSERT_EQ(0, pipe(toParent));
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        COrvMutex held(path.c_str());
        const char ch = held.Lock(1000) ? 'L' : 'F';
        (void)!write(toParent[1], &ch, 1);
        usleep(500000);
        _exit(0);  // dies holding the lock
    }
    char ch = 0;
    ASSERT_EQ(1, read(toParent[0], &ch, 1));
    ASSERT_EQ('L', ch);
    COrvMutex mine(path.c_str());
    EXPECT_FALSE(mine.Lock(0));
    EXPECT_TRUE(mine.Lock(5000));
    mine.Unlock();
    waitpid(pid, nullptr, 0);
    close(toParent[0]);
    close(toParent[1]);
}

// ---------------------------------------------------------------------------------------------
// Reader-writer lock

TEST_F(LockTest, WriterMayReadAndWriteAgainAndDowngradeStaysExclusiveUntilTheLastRead) {
    COrvReadWriteLock rw;
    unsigned nHeld = 0;
    // Whether another thread gets a read (and then a write) hold at once; released again.
    auto otherCan = [&](bool bWrite) {
        bool bGot = false;
        std::thread([&] {
            bGot = bWrite ? rw.TryLockWrite() : rw.TryLockRead(nHeld);
            if (bGot && bWrite)
                rw.UnlockWrite();
            else if (bGot)
                rw.UnlockRead();
        }).join();
        return bGot;
    };
    rw.LockWrite();
    rw.LockRead();
    rw.LockWrite();
    unsigned nMine = 99;
    EXPECT_TRUE(rw.TryLockRead(nMine));
    std::this_thread::sleep_for(60ms);
    EXPECT_FALSE(otherCan(false) || otherCan(true));
    EXPECT_GE(nHeld, 55u);
    EXPECT_LT(nHeld, 60000u);
    // The nested levels leave the outer hold exclusive.
    rw.UnlockRead();
    rw.UnlockWrite();
    EXPECT_FALSE(otherCan(false));
    rw.UnlockRead();
    rw.UnlockWrite();
    EXPECT_TRUE(otherCan(false) && otherCan(true));

    rw.LockRead();
    rw.LockWrite(true);
    rw.UnlockWrite();
    EXPECT_FALSE(otherCan(false));  // downgraded: still exclusive
    rw.UnlockRead();                // the last read ends the hold
    EXPECT_TRUE(otherCan(false));
    EXPECT_EQ(0u, Asserts());
}

TEST_F(LockTest, StressReadersAndWritersExcludeEachOther) {
    COrvReadWriteLock rw;
    std::atomic<int> nReaders{0};
    std::atomic<int> nWriters{0};
    std::atomic<int> nViolations{0};
    long long nShared = 0;  // written only under the write lock
    std::vector<std::thread> threads;
    constexpr int kRounds = 150;
    for (int t = 0; t < 9; ++t) {
        threads.emplace_back([&, t] {
            const bool bWriter = t >= 6;
            for (int i = 0; i < kRounds; ++i) {
                const bool bRead = !bWriter || (i & 3) == 0;  // some writers were readers first
                if (bRead)
                    rw.LockRead();
                if (bWriter) {
                    rw.LockWrite((i + t) % 3 == 0);
                    nViolations += nWriters.fetch_add(1) != 0 || nReaders.load() != 0;
                    ++nShared;
                    nWriters.fetch_sub(1);
                    rw.UnlockWrite();
                } else {
                    ++nReaders;
                    nViolations += nWriters.load() != 0 || nShared < 0;  // a racing read
                    if ((i & 7) == 0) {
                        rw.LockRead();  // nested reads
                        rw.UnlockRead();
                    }
                    --nReaders;
                }
                if (bRead)
                    rw.UnlockRead();
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(0, nViolations.load());
    EXPECT_EQ(3LL * kRounds, nShared);
    EXPECT_EQ(0u, Asserts());
    EXPECT_TRUE(rw.TryLockWrite());  // everything was released
    rw.UnlockWrite();
}

}  // namespace
