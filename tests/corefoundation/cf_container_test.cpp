#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "cf_test_util.h"

namespace {

std::string Utf8(CFTypeRef s) {
  char buf[256];
  return CFStringGetCString(static_cast<CFStringRef>(s), buf, sizeof buf, kCFStringEncodingUTF8) ? buf : "?";
}

TEST(CFArray, RetainsElementsAndReleasesThemOnRemoval) {
  auto s = Str("item");
  auto a = CFPtr<CFMutableArrayRef>(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
  CFArrayAppendValue(a.get(), s.get());
  CFArrayAppendValue(a.get(), s.get());
  EXPECT_EQ(CFGetRetainCount(s.get()), 3);
  EXPECT_EQ(CFArrayGetCount(a.get()), 2);
  CFArrayRemoveValueAtIndex(a.get(), 0);
  EXPECT_EQ(CFGetRetainCount(s.get()), 2);
  a.reset();
  EXPECT_EQ(CFGetRetainCount(s.get()), 1);
}

TEST(CFArray, NullCallbacksStorePlainPointers) {
  static int marker;
  auto a = CFPtr<CFMutableArrayRef>(CFArrayCreateMutable(nullptr, 0, nullptr));
  CFArrayAppendValue(a.get(), &marker);  // not a CF object: must not be retained
  EXPECT_EQ(CFArrayGetValueAtIndex(a.get(), 0), &marker);
}

TEST(CFArray, OutOfRangeAccessIsHarmless) {
  auto a = CFPtr<CFMutableArrayRef>(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
  EXPECT_EQ(CFArrayGetValueAtIndex(a.get(), 0), nullptr);
  EXPECT_EQ(CFArrayGetValueAtIndex(a.get(), -1), nullptr);
  CFArrayRemoveValueAtIndex(a.get(), 3);
  EXPECT_EQ(CFArrayGetCount(a.get()), 0);
}

TEST(CFArray, ImmutableArrayRefusesChanges) {
  auto s = Str("x");
  const void* values[] = {s.get()};
  auto a = CFPtr<CFArrayRef>(CFArrayCreate(nullptr, values, 1, &kCFTypeArrayCallBacks));
  CFArrayAppendValue(const_cast<CFMutableArrayRef>(a.get()), s.get());
  EXPECT_EQ(CFArrayGetCount(a.get()), 1);
}

TEST(CFDictionary, AddKeepsTheFirstValueAndSetReplacesIt) {
  auto d = CFPtr<CFMutableDictionaryRef>(CFDictionaryCreateMutable(
      nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  CFDictionaryAddValue(d.get(), Str("k").get(), Str("first").get());
  CFDictionaryAddValue(d.get(), Str("k").get(), Str("second").get());
  EXPECT_EQ(Utf8(CFDictionaryGetValue(d.get(), Str("k").get())), "first");
  CFDictionarySetValue(d.get(), Str("k").get(), Str("third").get());
  EXPECT_EQ(Utf8(CFDictionaryGetValue(d.get(), Str("k").get())), "third");
  EXPECT_EQ(CFDictionaryGetCount(d.get()), 1);
}

TEST(CFDictionary, KeysCompareByValueNotIdentity) {
  auto d = CFPtr<CFMutableDictionaryRef>(CFDictionaryCreateMutable(
      nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  CFDictionarySetValue(d.get(), Str("UniqueDeviceID").get(), kCFBooleanTrue);
  EXPECT_TRUE(CFDictionaryContainsKey(d.get(), CFSTR("UniqueDeviceID")));
  EXPECT_TRUE(CFDictionaryContainsValue(d.get(), kCFBooleanTrue));
  EXPECT_FALSE(CFDictionaryContainsKey(d.get(), CFSTR("uniquedeviceid")));
}

TEST(CFDictionary, LargeDictionaryFindsAndRemovesEveryKey) {
  auto d = CFPtr<CFMutableDictionaryRef>(CFDictionaryCreateMutable(
      nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  for (int i = 0; i < 500; ++i) {
    CFDictionarySetValue(d.get(), Str(("key" + std::to_string(i)).c_str()).get(),
                         Str(std::to_string(i).c_str()).get());
  }
  EXPECT_EQ(CFDictionaryGetCount(d.get()), 500);
  for (int i = 0; i < 500; i += 2) {
    CFDictionaryRemoveValue(d.get(), Str(("key" + std::to_string(i)).c_str()).get());
  }
  EXPECT_EQ(CFDictionaryGetCount(d.get()), 250);
  for (int i = 0; i < 500; ++i) {
    const void* v = CFDictionaryGetValue(d.get(), Str(("key" + std::to_string(i)).c_str()).get());
    if (i % 2) {
      EXPECT_EQ(Utf8(v), std::to_string(i));
    } else {
      EXPECT_EQ(v, nullptr);
    }
  }
}

TEST(CFDictionary, ApplyAndKeysAndValuesVisitEveryPair) {
  auto k1 = Str("a"), k2 = Str("b"), v1 = Str("1"), v2 = Str("2");
  const void* keys[] = {k1.get(), k2.get()};
  const void* values[] = {v1.get(), v2.get()};
  auto d = CFPtr<CFDictionaryRef>(CFDictionaryCreate(nullptr, keys, values, 2,
                                                     &kCFTypeDictionaryKeyCallBacks,
                                                     &kCFTypeDictionaryValueCallBacks));
  std::map<std::string, std::string> seen;
  CFDictionaryApplyFunction(
      d.get(),
      [](const void* k, const void* v, void* ctx) {
        (*static_cast<std::map<std::string, std::string>*>(ctx))[Utf8(k)] = Utf8(v);
      },
      &seen);
  EXPECT_EQ(seen, (std::map<std::string, std::string>{{"a", "1"}, {"b", "2"}}));
  std::vector<const void*> ks(2), vs(2);
  CFDictionaryGetKeysAndValues(d.get(), ks.data(), vs.data());
  EXPECT_EQ(Utf8(ks[1]), "b");
  EXPECT_EQ(Utf8(vs[1]), "2");
}

TEST(CFDictionary, ValuesAreReleasedWithTheDictionary) {
  auto v = Str("value");
  {
    auto d = CFPtr<CFMutableDictionaryRef>(CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    CFDictionarySetValue(d.get(), CFSTR("k"), v.get());
    EXPECT_EQ(CFGetRetainCount(v.get()), 2);
  }
  EXPECT_EQ(CFGetRetainCount(v.get()), 1);
}

TEST(CFEqual, ComparesContainersDeeply) {
  auto make = [](const char* value) {
    auto d = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                       &kCFTypeDictionaryValueCallBacks);
    CFDictionarySetValue(d, CFSTR("k"), Str(value).get());
    return CFPtr<CFMutableDictionaryRef>(d);
  };
  EXPECT_TRUE(CFEqual(make("x").get(), make("x").get()));
  EXPECT_FALSE(CFEqual(make("x").get(), make("y").get()));
  EXPECT_FALSE(CFEqual(make("x").get(), Str("x").get()));
}

}  // namespace
