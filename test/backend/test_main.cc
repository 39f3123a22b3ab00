#include <gtest/gtest.h>

#include "recorder_injection.h"

int main(int argc, char** argv) {
  // Before GoogleTest or any backend thread exists: a threaded process
  // cannot leave its mount namespace.
  EnterPrivateMountNamespace();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
