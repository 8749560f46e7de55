// The owner-thread call queue against a real owner thread: many callers, detach while they wait,
// calls from the owner itself and the order of calls and posted work.
#include "owner-call-queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// An owner thread woken through a condition variable of its own, as the memory pane's loop is;
// while held it takes nothing from the queue.
class COwner {
public:
    explicit COwner(bool bSpin = false)
        : m_queue([this] { Wake(); }, bSpin), m_thread([this] { Loop(); }) {
        m_queue.SetOwnerThread(m_thread.get_id());
    }
    ~COwner() {
        Hold(false, true);
        m_queue.Detach();
        m_thread.join();
    }
    COwnerCallQueue& Queue() { return m_queue; }
    void Hold(bool bHeld, bool bStop = false) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_bHeld = bHeld;
        m_bStop = bStop;
        m_bWoken = true;
        m_cv.notify_all();
    }

private:
    void Wake() {
        std::lock_guard<std::mutex> guard(m_lock);
        m_bWoken = true;
        m_cv.notify_all();
    }
    void Loop() {
        std::unique_lock<std::mutex> lock(m_lock);
        for (;;) {
            m_cv.wait(lock, [&] { return m_bStop || (m_bWoken && !m_bHeld); });
            if (m_bStop) {
                return;
            }
            m_bWoken = false;
            lock.unlock();
            m_queue.OwnerWoke();
            while (m_queue.RunOne()) {
            }
            lock.lock();
        }
    }

    std::mutex m_lock;
    std::condition_variable m_cv;
    bool m_bWoken = false;
    bool m_bHeld = false;
    bool m_bStop = false;
    COwnerCallQueue m_queue;
    std::thread m_thread;
};

// Work that runs a function and counts its own deletion.
struct CFnWork : IOwnerWork {
    explicit CFnWork(std::function<void()> fn, std::atomic<int>* pnDeleted = nullptr)
        : m_fn(std::move(fn)), m_pnDeleted(pnDeleted) {}
    ~CFnWork() override {
        if (m_pnDeleted != nullptr) {
            ++*m_pnDeleted;
        }
    }
    void Run() override { m_fn(); }
    std::function<void()> m_fn;
    std::atomic<int>* m_pnDeleted;
};

bool Post(COwnerCallQueue& queue, std::function<void()> fn, std::atomic<int>* pnDeleted) {
    std::unique_ptr<IOwnerWork> pWork = std::make_unique<CFnWork>(std::move(fn), pnDeleted);
    return queue.Post(pWork);
}

}  // namespace

TEST(OwnerCallQueue, ManyCallersRunOnTheOwnerInOrderAfterWhatTheyPosted) {
    constexpr int kCallers = 5;
    constexpr int kCalls = 200;
    for (bool bSpin : {false, true}) {
        SCOPED_TRACE(bSpin ? "spinning" : "waking");
        COwner owner(bSpin);
        std::thread::id ownerId;
        CFnWork who([&] { ownerId = std::this_thread::get_id(); });
        ASSERT_TRUE(owner.Queue().Call(who));
        // plain members, touched only on the owner thread: the race detector sees any slip
        std::vector<int> last(kCallers, -1);
        std::vector<int> posted(kCallers, -1);
        int nBad = 0;
        int nRun = 0;
        std::atomic<int> nDeleted{0};
        std::vector<std::thread> callers;
        for (int c = 0; c < kCallers; ++c) {
            callers.emplace_back([&, c] {
                for (int i = 0; i < kCalls; ++i) {
                    // work posted before a call is done once the call returns
                    ASSERT_TRUE(Post(
                        owner.Queue(), [&, c, i] { posted[c] = i; }, &nDeleted));
                    CFnWork work([&, c, i] {
                        nBad += last[c] + 1 != i || posted[c] != i ||
                                std::this_thread::get_id() != ownerId;
                        last[c] = i;
                        ++nRun;
                    });
                    EXPECT_TRUE(owner.Queue().Call(work));
                }
            });
        }
        for (std::thread& t : callers) {
            t.join();
        }
        CFnWork check([&] { EXPECT_EQ(std::pair(nRun, nBad), std::pair(kCallers * kCalls, 0)); });
        EXPECT_TRUE(owner.Queue().Call(check));
        EXPECT_EQ(nDeleted.load(), kCallers * kCalls);  // each posted item deleted after it ran
    }
}

TEST(OwnerCallQueue, DetachReleasesWaitersDropsPostsAndRefusesNewWork) {
    COwner owner;
    owner.Hold(true);
    std::atomic<int> nRan{0};
    std::atomic<int> nDeleted{0};
    ASSERT_TRUE(Post(
        owner.Queue(), [&] { ++nRan; }, &nDeleted));
    std::atomic<int> nTrue{0};
    std::vector<std::thread> callers;
    for (int c = 0; c < 4; ++c) {
        callers.emplace_back([&] {
            CFnWork work([&] { ++nRan; });
            nTrue += owner.Queue().Call(work) ? 1 : 0;
        });
    }
    // a call that outlives the detach, as a test reading the final state makes
    std::atomic<bool> bLateRan{false};
    std::thread late([&] {
        CFnWork work([&] { bLateRan = true; });
        EXPECT_TRUE(owner.Queue().Call(work, true));
    });
    while (!owner.Queue().HasPending()) {
        std::this_thread::yield();
    }
    owner.Queue().Detach();
    for (std::thread& t : callers) {
        t.join();
    }
    EXPECT_EQ(nTrue.load(), 0);
    EXPECT_EQ(nDeleted.load(), 1);  // the posted item deleted unrun
    std::unique_ptr<IOwnerWork> pRefused = std::make_unique<CFnWork>([&] { ++nRan; });
    EXPECT_FALSE(owner.Queue().Post(pRefused));
    EXPECT_NE(pRefused, nullptr);  // still the caller's
    owner.Hold(false);
    late.join();
    EXPECT_TRUE(bLateRan.load());
    EXPECT_EQ(nRan.load(), 0);
}

TEST(OwnerCallQueue, TheOwnerCallsAtOnceAndFinishesAWorkThatDetaches) {
    COwner owner;
    std::string order;  // owner thread only
    CFnWork inner([&] { order += 'i'; });
    // from the owner thread the call runs at once, ahead of anything queued
    CFnWork outer([&] {
        order += 'o';
        order += owner.Queue().Call(inner) ? "O" : "!";
    });
    ASSERT_TRUE(owner.Queue().Call(outer));
    CFnWork check([&] { EXPECT_EQ(order, "oiO"); });
    ASSERT_TRUE(owner.Queue().Call(check));
    // a call the owner has taken completes with true even when its work detaches the queue
    bool bAfter = true;
    CFnWork detaching([&] {
        owner.Queue().Detach();
        CFnWork refused([] {});
        bAfter = owner.Queue().Call(refused);
    });
    EXPECT_TRUE(owner.Queue().Call(detaching));
    EXPECT_FALSE(bAfter);  // read after the call returned: the owner is done with it
}
