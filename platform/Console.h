// The terminal a command-line front end talks to: whether a person sits at
// standard input, and reading a secret from it without showing it.
#pragma once

#include <string>

namespace km::platform {

// True when standard input is a terminal, so that a question can be answered.
bool StdinIsTerminal();
// True when standard error is a terminal, so that an updating progress line
// can be shown there.
bool StderrIsTerminal();

// Reads one line from the terminal on standard input with echo switched off,
// without its line break. False at end of input or when standard input is
// not a terminal. The terminal's settings are restored on every path out,
// an interrupt included.
bool ReadSecretLine(std::string& line);

}  // namespace km::platform
