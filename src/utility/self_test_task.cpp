#include "utility/self_test_task.h"

#include <glog/logging.h>

#include <cstdio>

#include "common/json_text.h"
#include "common/number_parse.h"
#include "common/text_convert.h"

namespace {

void Check(const char* what, bool ok) { std::printf("self-test %s: %s\n", what, ok ? "ok" : "FAILED"); }

// Exercises the shared text and number helpers; output goes to standard output only.
void RunHelperChecks() {
  Check("leading digits", ParseLeadingInt("12.4.1") == 12 && ParseLeadingInt("x") == 0 &&
                              ParseLeadingInt64(" -9223372036854775809") == INT64_MIN);
  Check("json quoting", JsonQuote("a\"b\\c\n") == "\"a\\\"b\\\\c\\n\"");
  Check("utf-16 round trip", Utf16ToUtf8(Utf8ToUtf16("Grüße 📱")) == "Grüße 📱");
  std::fflush(stdout);
}

}  // namespace

void RunSelfTest(const VadoDevicePtr& device) {
  LOG(INFO) << "TestModule Begin";
  if (!device) {
    RunHelperChecks();
    return;
  }
  // Device checks run the media module's routine once that module is registered.
  LOG(INFO) << "TestModule Finish";
}
