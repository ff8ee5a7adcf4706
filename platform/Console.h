// The terminal a command-line front end talks to: whether a person sits at
// standard input, reading a secret from it without showing it, and the
// signals that ask the program to end.
#pragma once

#include <memory>
#include <string>

namespace km::platform {

// Makes the program's UTF-8 text on standard output and standard error read
// right in a terminal that expects another encoding (a Windows console);
// output to a file or a pipe stays UTF-8 bytes. Call once, early in main.
void PrepareConsole();

// True when standard input is a terminal, so that a question can be answered.
bool StdinIsTerminal();
// True when standard error is a terminal, so that an updating progress line
// can be shown there.
bool StderrIsTerminal();
// The width in columns of the terminal on standard error: as the terminal
// says, else $COLUMNS, else 80. A line as wide wraps on some terminals, and
// a redraw with \r would then start a new line.
int TerminalColumns();

// Reads one line from the terminal on standard input with echo switched off,
// without its line break. False at end of input or when standard input is
// not a terminal. The terminal's settings are restored on every path out,
// an interrupt included. While a StopSignals lives, a stop request ends the
// wait with false.
bool ReadSecretLine(std::string& line);
// The same with the line shown as it is typed: an answer to a question.
bool ReadLine(std::string& line);

// While one lives, the signals that would end the program (Ctrl+C, a closed
// terminal, SIGTERM, SIGQUIT and their like) only note a request to stop,
// however many arrive: a run that writes asks StopRequested() at its next
// progress event and stops there, so that a commit is rolled back or
// completed, never cut off half way. A signal ignored when it begins (nohup)
// stays ignored. A broken pipe or the file size limit fails the write
// instead of ending the program. The handling before comes back when it
// ends. One at a time.
class StopSignals {
 public:
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

 private:
  struct Saved;
  std::unique_ptr<Saved> saved_;
};

// Whether a signal has asked the program to stop since the last StopSignals
// began.
bool StopRequested();

}  // namespace km::platform
