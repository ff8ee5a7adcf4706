// Termination signals turned into a stop request, in this very process: a
// signal that slipped through would end the test program.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <unistd.h>
#endif

#include <cerrno>

#include "platform/Console.h"

namespace km::platform {
namespace {

#ifndef _WIN32
void (*HandlerOf(int signal))(int) {
  struct sigaction current {};
  sigaction(signal, nullptr, &current);
  return current.sa_handler;
}

#endif

TEST(StopSignalsTest, SignalsOnlyAskToStopAndTheOldHandlingComesBack) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX signals; Windows has console control events instead";
#else
  // As under nohup: a hang-up ignored beforehand stays ignored.
  struct sigaction ignore {
  }, oldHup{};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ASSERT_EQ(sigaction(SIGHUP, &ignore, &oldHup), 0);
  const auto intBefore = HandlerOf(SIGINT);
  const auto pipeBefore = HandlerOf(SIGPIPE);
  {
    StopSignals stopSignals;
    EXPECT_FALSE(StopRequested());
    // However many come, of whatever kind.
    for (int signal : {SIGINT, SIGINT, SIGTERM, SIGQUIT, SIGINT}) ASSERT_EQ(raise(signal), 0);
    EXPECT_TRUE(StopRequested());
    EXPECT_EQ(HandlerOf(SIGHUP), SIG_IGN);

    // Writing to a pipe nobody reads fails instead of ending the program.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    errno = 0;
    EXPECT_EQ(write(ends[1], "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    close(ends[1]);
  }
  EXPECT_EQ(HandlerOf(SIGINT), intBefore);
  EXPECT_EQ(HandlerOf(SIGPIPE), pipeBefore);
  EXPECT_EQ(HandlerOf(SIGHUP), SIG_IGN);
  sigaction(SIGHUP, &oldHup, nullptr);

  // A new scope starts without a request.
  StopSignals again;
  EXPECT_FALSE(StopRequested());
#endif
}

}  // namespace
}  // namespace km::platform
