#include <gtest/gtest.h>

#include <cstring>

#include "corekit/corekit.h"

namespace {

TEST(Snprintc, AppendsToExistingText) {
  char buf[32] = "abc";
  EXPECT_EQ(snprintc(buf, sizeof buf, "-%d-", 42), 7u);
  EXPECT_STREQ(buf, "abc-42-");
  EXPECT_EQ(snprintc(buf, sizeof buf, "%s", "x"), 8u);
  EXPECT_STREQ(buf, "abc-42-x");
}

TEST(Snprintc, TruncatesAtSizeAndTerminates) {
  // Guard bytes after the buffer catch any write beyond `size`.
  char mem[16];
  memset(mem, '#', sizeof mem);
  char* buf = mem;
  const size_t size = 8;
  buf[0] = '\0';
  EXPECT_EQ(snprintc(buf, size, "%s", "0123456789"), size - 1);
  EXPECT_STREQ(buf, "0123456");
  EXPECT_EQ(snprintc(buf, size, "%s", "more"), size - 1);  // already full
  EXPECT_STREQ(buf, "0123456");
  for (size_t i = size; i < sizeof mem; ++i) EXPECT_EQ(mem[i], '#') << i;
}

TEST(Snprintc, TerminatesAnUnterminatedBuffer) {
  char buf[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(snprintc(buf, sizeof buf, "x"), 3u);
  EXPECT_EQ(buf[3], '\0');
  EXPECT_STREQ(buf, "abc");
}

TEST(Snprintc, ZeroSizeWritesNothing) {
  char buf[2] = {'z', 'z'};
  EXPECT_EQ(snprintc(buf, 0, "x"), 0u);
  EXPECT_EQ(buf[0], 'z');
  EXPECT_EQ(snprintc(nullptr, 10, "x"), 0u);
}

TEST(Snprintc, SizeOneKeepsOnlyTheTerminator) {
  char buf[1] = {'q'};
  EXPECT_EQ(snprintc(buf, 1, "hello"), 0u);
  EXPECT_EQ(buf[0], '\0');
}

}  // namespace
