#include "platform/Console.h"

#include <sys/ioctl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <iterator>

namespace km::platform {
namespace {

// Flags a signal handler sets or reads. The handler runs on whichever thread
// the signal finds (the component has threads of its own), so they are
// atomics, which are safe in a handler as long as they need no lock.
using TSignalFlag = std::atomic<int>;
static_assert(TSignalFlag::is_always_lock_free);

// What an interrupt handler needs to give the terminal its echo back; only
// async-signal-safe calls are made from it.
struct termios gSaved;
TSignalFlag gEchoOff{0};

void RestoreAndReraise(int signal) {
  if (gEchoOff) tcsetattr(STDIN_FILENO, TCSAFLUSH, &gSaved);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

// The signals whose default is to end the program and that someone sends to
// ask for it: each only notes the request while StopSignals lives.
constexpr int kStopSignals[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,
                                SIGXCPU, SIGALRM, SIGUSR1, SIGUSR2};
// Raised by a write that cannot go on (nobody reads the pipe, the file size
// limit is reached): ignored, the write then fails and the run deals with
// that as with any failed write.
constexpr int kWriteSignals[] = {SIGPIPE, SIGXFSZ};

TSignalFlag gStopRequested{0};
TSignalFlag gStopSignalsOn{0};

extern "C" void NoteStopRequest(int) {
  gStopRequested = 1;
}

sigset_t StopSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kStopSignals) sigaddset(&set, signal);
  return set;
}

}  // namespace

struct StopSignals::Saved {
  struct sigaction stop[std::size(kStopSignals)];
  struct sigaction write[std::size(kWriteSignals)];
};

StopSignals::StopSignals() : saved_(std::make_unique<Saved>()) {
  // Installed all at once: a signal in between would find some still fatal.
  const sigset_t stopSet = StopSignalSet();
  sigset_t before;
  sigprocmask(SIG_BLOCK, &stopSet, &before);
  gStopRequested = 0;
  struct sigaction note {};
  note.sa_handler = NoteStopRequest;
  sigfillset(&note.sa_mask);
  // A read or write cut short by a signal would only fail: calls go on, and
  // the run looks at the request at its next progress event.
  note.sa_flags = SA_RESTART;
  for (size_t i = 0; i < std::size(kStopSignals); ++i) {
    sigaction(kStopSignals[i], nullptr, &saved_->stop[i]);
    if (saved_->stop[i].sa_handler != SIG_IGN) sigaction(kStopSignals[i], &note, nullptr);
  }
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  for (size_t i = 0; i < std::size(kWriteSignals); ++i)
    sigaction(kWriteSignals[i], &ignore, &saved_->write[i]);
  gStopSignalsOn = 1;
  sigprocmask(SIG_SETMASK, &before, nullptr);
}

StopSignals::~StopSignals() {
  gStopSignalsOn = 0;
  for (size_t i = 0; i < std::size(kStopSignals); ++i)
    sigaction(kStopSignals[i], &saved_->stop[i], nullptr);
  for (size_t i = 0; i < std::size(kWriteSignals); ++i)
    sigaction(kWriteSignals[i], &saved_->write[i], nullptr);
}

bool StopRequested() {
  return gStopRequested != 0;
}

void PrepareConsole() {}  // terminals take UTF-8 as it is

bool StdinIsTerminal() {
  return isatty(STDIN_FILENO) == 1;
}

bool StderrIsTerminal() {
  return isatty(STDERR_FILENO) == 1;
}

int TerminalColumns() {
  struct winsize size {};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  // A terminal that does not tell its size (a serial line, a bare pty).
  if (const char* columns = std::getenv("COLUMNS")) {
    const long value = std::strtol(columns, nullptr, 10);
    if (value > 0 && value < 10000) return int(value);
  }
  return 80;
}

namespace {

// One line from the terminal, shown as typed or (secret) not at all.
bool ReadTerminalLine(std::string& line, bool secret) {
  line.clear();
  if (!StdinIsTerminal() || tcgetattr(STDIN_FILENO, &gSaved) != 0) return false;
  struct termios quiet = gSaved;
  quiet.c_lflag &= tcflag_t(~ECHO);
  quiet.c_lflag |= ECHONL;  // the Enter still ends the line on screen

  // Under StopSignals a stop request ends the wait and the terminal is put
  // back on the way out. The stop signals are let in only while waiting, so
  // that one arriving just before the wait cannot be missed by it.
  const bool noted = gStopSignalsOn != 0;
  const sigset_t stopSet = StopSignalSet();
  sigset_t unblocked;
  struct sigaction restore {};
  restore.sa_handler = RestoreAndReraise;
  sigemptyset(&restore.sa_mask);
  struct sigaction oldInt {
  }, oldTerm{}, oldQuit{};
  if (noted) {
    sigprocmask(SIG_BLOCK, &stopSet, &unblocked);
  } else if (secret) {
    sigaction(SIGINT, &restore, &oldInt);
    sigaction(SIGTERM, &restore, &oldTerm);
    sigaction(SIGQUIT, &restore, &oldQuit);
  }
  bool quietOn = false;
  if (secret) {
    gEchoOff = 1;
    quietOn = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
  }

  // Byte by byte, so that nothing after the line is taken from the terminal.
  bool gotAny = false;
  for (;;) {
    if (noted) {
      if (gStopRequested) break;
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(STDIN_FILENO, &readable);
      if (pselect(STDIN_FILENO + 1, &readable, nullptr, nullptr, nullptr, &unblocked) < 0) {
        if (errno == EINTR) continue;
        break;
      }
    }
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
  if (noted) {
    sigprocmask(SIG_SETMASK, &unblocked, nullptr);
  } else if (secret) {
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
    sigaction(SIGQUIT, &oldQuit, nullptr);
  }
  if (noted && gStopRequested) {
    line.clear();
    return false;
  }
  return gotAny;
}

}  // namespace

bool ReadSecretLine(std::string& line) {
  return ReadTerminalLine(line, true);
}

bool ReadLine(std::string& line) {
  return ReadTerminalLine(line, false);
}

}  // namespace km::platform
