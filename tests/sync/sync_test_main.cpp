// Loads the process-wide function table before any test runs.
#include <gtest/gtest.h>

#include <cstdio>

#include "test_table.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (!LoadTestTable(VADO_FAKE_MD_A)) {
    std::fprintf(stderr, "cannot load the function table\n");
    return 1;
  }
  return RUN_ALL_TESTS();
}
