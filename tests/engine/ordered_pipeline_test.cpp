#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

#include "engine/ordered_pipeline.h"

namespace ksr {
namespace {

TEST(OrderedPipeline, CommitsInSubmissionOrderWhateverTheWorkTakes) {
    std::vector<int> committed;
    std::atomic<int> worked{0};
    {
        OrderedPipeline pipeline(3, 8);
        for (int i = 0; i < 200; ++i) {
            auto work = (i % 5 == 4) ? std::function<void()>() : [i, &worked] {
                Sleep((i * 7) % 4);  // later units often finish first
                ++worked;
            };
            pipeline.Submit(work, [i, &committed] { committed.push_back(i); });
        }
    }
    ASSERT_EQ(committed.size(), 200u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(committed[i], i);
    EXPECT_EQ(worked, 160);
}

TEST(OrderedPipeline, DrainWaitsAndInFlightIsBounded) {
    OrderedPipeline pipeline(2, 4);
    std::atomic<int> inFlight{0}, most{0}, done{0};
    for (int i = 0; i < 40; ++i) {
        pipeline.Submit(
            [&] {
                const int now = ++inFlight;
                int seen = most;
                while (now > seen && !most.compare_exchange_weak(seen, now)) {
                }
                Sleep(1);
            },
            [&] {
                --inFlight;
                ++done;
            });
    }
    pipeline.Drain();
    EXPECT_EQ(done, 40);
    EXPECT_LE(most, 4);
}

TEST(OrderedPipeline, EveryWindowSizeRunsToTheEnd) {
    // The submitter sleeps until half the window is free and the committer until the oldest
    // unit is done; a missed wake-up at either edge would hang here rather than fail.
    for (size_t window : {size_t{1}, size_t{2}, size_t{3}, size_t{5}}) {
        std::vector<int> committed;
        {
            OrderedPipeline pipeline(2, window);
            for (int i = 0; i < 60; ++i) {
                auto work = (i % 3 == 0) ? std::function<void()>() : [i] { Sleep(i % 2); };
                pipeline.Submit(work, [i, &committed] {
                    if (i % 7 == 0) Sleep(1);
                    committed.push_back(i);
                });
                if (i % 20 == 19) pipeline.Drain();
            }
        }
        ASSERT_EQ(committed.size(), 60u) << "window " << window;
        for (int i = 0; i < 60; ++i) EXPECT_EQ(committed[i], i) << "window " << window;
    }
}

// What the flush holds back is written before Drain returns, and within a short while when
// nothing more comes; it runs on the committing thread, after the commits before it.
TEST(OrderedPipeline, DrainAndIdleTimeFlushWhatIsHeldBack) {
    std::vector<int> held, flushed;
    std::atomic<int> finishes{0};
    OrderedPipeline pipeline(2, 8, [&](bool finish) {
        if (finish) ++finishes;
        if (!finish && held.size() < 10) return !held.empty();
        flushed.insert(flushed.end(), held.begin(), held.end());
        held.clear();
        return false;
    });
    for (int i = 0; i < 25; ++i) {
        pipeline.Submit([] {}, [i, &held] { held.push_back(i); });
    }
    pipeline.Drain();
    ASSERT_EQ(flushed.size(), 25u);
    for (int i = 0; i < 25; ++i) EXPECT_EQ(flushed[i], i);

    const int before = finishes;
    pipeline.Submit([] {}, [&held] { held.push_back(99); });
    for (int waited = 0; waited < 200 && finishes == before; ++waited) Sleep(10);
    EXPECT_GT(finishes, before) << "a unit held back alone is flushed without a Drain";
    pipeline.Drain();
    EXPECT_EQ(flushed.back(), 99);
}

// A work, commit or flush that throws is counted and stops nothing: the later units still
// commit in order, and so they do when no worker runs and the walk's thread does the work.
TEST(OrderedPipeline, StepsThatThrowAreCountedAndTheRestGoesOn) {
    for (const unsigned workers : {2u, 0u}) {
        std::vector<int> committed;
        bool flushThrew = false;
        OrderedPipeline pipeline(workers, 4, [&](bool finish) -> bool {
            if (!finish) return true;
            if (!std::exchange(flushThrew, true)) throw std::runtime_error("flush");
            return false;
        });
        for (int i = 0; i < 30; ++i) {
            pipeline.Submit(
                [i] {
                    if (i == 7) throw std::runtime_error("work");
                },
                [i, &committed] {
                    if (i == 12) throw std::runtime_error("commit");
                    committed.push_back(i);
                });
        }
        pipeline.Drain();
        ASSERT_EQ(committed.size(), 29u) << workers << " workers";
        for (size_t at = 0; at < committed.size(); ++at) {
            EXPECT_EQ(committed[at], static_cast<int>(at < 12 ? at : at + 1));
        }
        EXPECT_TRUE(flushThrew);
        EXPECT_EQ(pipeline.Faults(), 3u) << workers << " workers";
    }
}

}  // namespace
}  // namespace ksr
