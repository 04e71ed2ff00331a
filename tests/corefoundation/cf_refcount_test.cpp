#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "cf_test_util.h"

namespace {

TEST(CFRefCount, RetainAndReleaseFromManyThreadsBalance) {
  auto s = Str("shared");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        CFRetain(s.get());
        CFRelease(s.get());
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(CFGetRetainCount(s.get()), 1);
}

TEST(CFRefCount, ObjectsSharedThroughContainersAcrossThreadsAreFreedOnce) {
  auto value = Str("value");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        auto a = CFPtr<CFMutableArrayRef>(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
        CFArrayAppendValue(a.get(), value.get());
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(CFGetRetainCount(value.get()), 1);
}

TEST(CFRefCount, ConstantStringsInternOnceUnderConcurrency) {
  std::vector<CFStringRef> seen(8);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < seen.size(); ++t) {
    threads.emplace_back([&, t] { seen[t] = __CFStringMakeConstantString("RaceKey"); });
  }
  for (auto& t : threads) t.join();
  for (CFStringRef s : seen) EXPECT_EQ(s, seen[0]);
}

}  // namespace
