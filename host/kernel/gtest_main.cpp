// main() for test executables that run under the verifier.
#include "host/kernel/verifier_gtest.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  kscam::host::verifier::InstallGoogleTestListener();
  return RUN_ALL_TESTS();
}
