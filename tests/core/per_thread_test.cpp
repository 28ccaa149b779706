#include "core/internal/per_thread.hpp"

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace velnor::detail {
namespace {

std::atomic<int> g_live{0};

struct OtherTag;

struct Counted {
  int uses = 0;
  Counted() { ++g_live; }
  ~Counted() { --g_live; }
};

using Slot = PerThread<Counted, Counted>;
using OtherSlot = PerThread<Counted, OtherTag>;

TEST(PerThread, OneObjectPerThreadDestroyedAtThreadExit) {
  Counted& mine = Slot::get();
  ++mine.uses;
  EXPECT_EQ(&Slot::get(), &mine);
  EXPECT_EQ(Slot::get().uses, 1);
  const int live_here = g_live.load();

  std::vector<const Counted*> seen(4);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&seen, i] {
      Counted& c = Slot::get();
      // A fresh object, not the main thread's.
      EXPECT_EQ(c.uses, 0);
      ++c.uses;
      seen[i] = &c;
    });
  }
  for (auto& t : threads) t.join();
  for (const Counted* p : seen) EXPECT_NE(p, &mine);
  // Every thread's object went away with its thread.
  EXPECT_EQ(g_live.load(), live_here);
  EXPECT_EQ(Slot::get().uses, 1);
}

TEST(PerThread, TagsSeparateObjectsOfOneType) {
  EXPECT_NE(&Slot::get(), &OtherSlot::get());
}

}  // namespace
}  // namespace velnor::detail
