// Runs the tests, or one child scenario when started as `--child name arg`.
#include <gtest/gtest.h>
#include <string.h>

#include "harness.h"

int main(int argc, char** argv) {
  harness::SetProgramPath(argv[0]);
  if (argc >= 3 && strcmp(argv[1], "--child") == 0) {
    return harness::RunScenario(argv[2], argc >= 4 ? argv[3] : "");
  }
  testing::InitGoogleTest(&argc, argv);
  if (argc >= 2) harness::SetFirstArgument(argv[1]);
  return RUN_ALL_TESTS();
}
