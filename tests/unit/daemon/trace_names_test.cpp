// The trace names of capability bits are libfuse's: the log of a mount
// that asks for ACLs must say POSIX_ACL, not another capability.
#define FUSE_USE_VERSION 31
#include <fuse.h>
#include <gtest/gtest.h>

#include <string>

#include "log.h"

namespace {

std::string nameOf(unsigned capability) { return capName[__builtin_ctz(capability)]; }

TEST(TraceNames, EveryCapabilityBitHasLibfusesName) {
  EXPECT_EQ("DONT_MASK", nameOf(FUSE_CAP_DONT_MASK));
  EXPECT_EQ("SPLICE_READ", nameOf(FUSE_CAP_SPLICE_READ));
  EXPECT_EQ("FLOCK_LOCKS", nameOf(FUSE_CAP_FLOCK_LOCKS));
  EXPECT_EQ("AUTO_INVAL_DATA", nameOf(FUSE_CAP_AUTO_INVAL_DATA));
  EXPECT_EQ("PARALLEL_DIROPS", nameOf(FUSE_CAP_PARALLEL_DIROPS));
  EXPECT_EQ("POSIX_ACL", nameOf(FUSE_CAP_POSIX_ACL));
  EXPECT_EQ("HANDLE_KILLPRIV", nameOf(FUSE_CAP_HANDLE_KILLPRIV));
}

}  // namespace
