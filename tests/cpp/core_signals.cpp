// What Python cannot provoke on purpose: a mapped file shrinking under a read
// at a chosen page, and an interrupt raised at a chosen moment.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "core/file.h"
#include "core/interrupt.h"

namespace sonorik {
namespace {

TEST(MappedFile, ShrinkingUnderAReadIsReportedNotFatal) {
  char name[] = "/tmp/sonorik-shrinkXXXXXX";
  const int fd = ::mkstemp(name);
  ASSERT_GE(fd, 0);
  const long page = ::sysconf(_SC_PAGESIZE);
  const std::string content(static_cast<std::size_t>(page * 4), '\x7f');
  ASSERT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  Result<MappedFile> m = MappedFile::open(name);
  ASSERT_TRUE(m.ok());
  EXPECT_TRUE(m->check_unchanged().ok());
  ASSERT_EQ(::ftruncate(fd, page), 0);
  const volatile std::uint8_t* bytes = m->bytes().data();
  EXPECT_EQ(bytes[0], 0x7f);          // still in the file
  EXPECT_EQ(bytes[page * 3 + 5], 0);  // past the new end: a zero page, no SIGBUS
  ASSERT_FALSE(m->check_unchanged().ok());
  EXPECT_EQ(m->check_unchanged().error().message(), kChangedWhileRead);
  ::close(fd);
  ::unlink(name);
}

int g_previous_calls = 0;
void previous_handler(int) { ++g_previous_calls; }

TEST(InterruptScope, CountsTheSignalAndStillCallsTheHandlerBefore) {
  struct sigaction prev {};
  prev.sa_handler = previous_handler;
  sigemptyset(&prev.sa_mask);
  struct sigaction saved {};
  ASSERT_EQ(::sigaction(SIGINT, &prev, &saved), 0);
  {
    InterruptScope watching(true);
    EXPECT_FALSE(interrupted());
    {
      InterruptScope elsewhere(false);  // a call on another thread's behalf
      ::raise(SIGINT);
      EXPECT_FALSE(interrupted());
    }
    EXPECT_TRUE(interrupted());
    EXPECT_EQ(last_interrupt_signal(), SIGINT);
  }
  EXPECT_FALSE(interrupted());
  EXPECT_EQ(g_previous_calls, 1);
  struct sigaction now {};
  ::sigaction(SIGINT, nullptr, &now);
  EXPECT_EQ(now.sa_handler, &previous_handler);  // put back
  ::sigaction(SIGINT, &saved, nullptr);
}

}  // namespace
}  // namespace sonorik
