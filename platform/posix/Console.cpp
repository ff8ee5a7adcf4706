#include "platform/Console.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace km::platform {
namespace {

// What an interrupt handler needs to give the terminal its echo back; only
// async-signal-safe calls are made from it.
struct termios gSaved;
volatile sig_atomic_t gEchoOff = 0;

void RestoreAndReraise(int signal) {
  if (gEchoOff) tcsetattr(STDIN_FILENO, TCSAFLUSH, &gSaved);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

}  // namespace

bool StdinIsTerminal() {
  return isatty(STDIN_FILENO) == 1;
}

bool StderrIsTerminal() {
  return isatty(STDERR_FILENO) == 1;
}

bool ReadSecretLine(std::string& line) {
  line.clear();
  if (!StdinIsTerminal() || tcgetattr(STDIN_FILENO, &gSaved) != 0) return false;
  struct termios quiet = gSaved;
  quiet.c_lflag &= tcflag_t(~ECHO);
  quiet.c_lflag |= ECHONL;  // the Enter still ends the line on screen

  struct sigaction restore {};
  restore.sa_handler = RestoreAndReraise;
  sigemptyset(&restore.sa_mask);
  struct sigaction oldInt {
  }, oldTerm{}, oldQuit{};
  sigaction(SIGINT, &restore, &oldInt);
  sigaction(SIGTERM, &restore, &oldTerm);
  sigaction(SIGQUIT, &restore, &oldQuit);
  gEchoOff = 1;
  const bool quietOn = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;

  // Byte by byte, so that nothing after the line is taken from the terminal.
  bool gotAny = false;
  for (;;) {
    char c;
    const ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    gotAny = true;
    if (c == '\n' || c == '\r') break;
    line += c;
  }

  if (quietOn) tcsetattr(STDIN_FILENO, TCSAFLUSH, &gSaved);
  gEchoOff = 0;
  sigaction(SIGINT, &oldInt, nullptr);
  sigaction(SIGTERM, &oldTerm, nullptr);
  sigaction(SIGQUIT, &oldQuit, nullptr);
  return gotAny;
}

}  // namespace km::platform
