// The paint and uiLock: the window thread takes one wait of at most 100 ms;
// when a worker holds the lock longer, the paint shows the previous picture
// and asks for another paint instead of reading the fields unguarded. No
// window exists here, so the drawing calls do nothing.
#include "ui/launcher_window.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "core/display_state.h"

namespace ui {
namespace {

std::atomic<int> repaints{0};
void countRepaint() { ++repaints; }

class PaintLock : public testing::Test {
 protected:
  void SetUp() override {
    repaints = 0;
    core::setRepaintHandler(countRepaint);
  }
  void TearDown() override { core::setRepaintHandler(nullptr); }
};

TEST_F(PaintLock, APaintWithTheLockFreeAsksForNoOtherPaintAndGivesTheLockBack) {
  paintLauncherWindow();
  EXPECT_EQ(repaints.load(), 0);
  ASSERT_TRUE(core::uiLock->enter());
  core::uiLock->leave();
}

TEST_F(PaintLock, APaintWhileAWorkerHoldsTheLockAsksForAnotherPaint) {
  std::mutex m;
  std::condition_variable cv;
  bool held = false, done = false;
  std::thread worker([&] {
    core::enterUiLockPatiently();
    {
      std::lock_guard<std::mutex> lock(m);
      held = true;
    }
    cv.notify_all();
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return done; });
    core::uiLock->leave();
  });
  {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return held; });
  }
  paintLauncherWindow();  // returns after its one wait runs out
  EXPECT_EQ(repaints.load(), 1);
  {
    std::lock_guard<std::mutex> lock(m);
    done = true;
  }
  cv.notify_all();
  worker.join();
  // The paint did not release the worker's lock: the worker gave it back.
  ASSERT_TRUE(core::uiLock->enter());
  core::uiLock->leave();
}

}  // namespace
}  // namespace ui
