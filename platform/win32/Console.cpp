#include "platform/Console.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>

#include "platform/CodePage.h"
#include "platform/win32/Win32.h"

namespace km::platform {
namespace {

bool IsConsole(DWORD which) {
  DWORD mode = 0;
  const HANDLE handle = ::GetStdHandle(which);
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode);
}

UINT gOutputCodePage = 0;

void RestoreOutputCodePage() {
  if (gOutputCodePage != 0) ::SetConsoleOutputCP(gOutputCodePage);
}

volatile LONG gStopRequested = 0;
volatile LONG gStopSignalsOn = 0;

BOOL WINAPI NoteStopRequest(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      ::InterlockedExchange(&gStopRequested, 1);
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      // The process ends as soon as this returns: wait here, so that the run
      // reaches its next progress event and stops there (rolled back or
      // completed); its exit ends this thread with it.
      ::InterlockedExchange(&gStopRequested, 1);
      ::Sleep(INFINITE);
      return TRUE;
    default:
      return FALSE;
  }
}

// One line from the console, shown as typed or (secret) not at all, as
// UTF-8. The console's line editing stays on; only its echo goes.
bool ReadConsoleLine(std::string& line, bool secret) {
  line.clear();
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  DWORD saved = 0;
  if (input == nullptr || input == INVALID_HANDLE_VALUE || !::GetConsoleMode(input, &saved))
    return false;
  const bool quiet = secret && ::SetConsoleMode(input, saved & ~DWORD(ENABLE_ECHO_INPUT));
  std::u16string text;
  bool gotAny = false;
  for (;;) {
    if (gStopSignalsOn && gStopRequested) break;
    wchar_t c = 0;
    DWORD got = 0;
    // Ctrl+C ends the read (with an error) while StopSignals notes it.
    if (!::ReadConsoleW(input, &c, 1, &got, nullptr) || got == 0) break;
    gotAny = true;
    if (c == L'\n') break;
    if (c == L'\r') continue;  // the line ends with CR LF
    text += char16_t(c);
  }
  if (quiet) {
    ::SetConsoleMode(input, saved);
    // The Enter was not shown either: end the line on screen.
    DWORD written = 0;
    const HANDLE output = ::GetStdHandle(STD_ERROR_HANDLE);
    if (IsConsole(STD_ERROR_HANDLE)) ::WriteConsoleW(output, L"\r\n", 2, &written, nullptr);
  }
  if (gStopSignalsOn && gStopRequested) return false;
  line = WideToUtf8(text);
  return gotAny;
}

}  // namespace

void PrepareConsole() {
  // The program's text is UTF-8 with "\n" line ends, and goes out as it
  // is: in text mode the C runtime would add a CR to each line and, for a
  // console, take every byte for a character of its own.
  std::fflush(stdout);
  std::fflush(stderr);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  const bool out = IsConsole(STD_OUTPUT_HANDLE);
  const bool err = IsConsole(STD_ERROR_HANDLE);
  if (!out && !err) return;
  // A console reads the bytes in its output code page (866 on a Russian
  // system) and each write on its own, so a character split over two
  // writes would come out as two wrong ones: the streams to it are
  // buffered (the program flushes where a person waits for the text).
  if (out) std::setvbuf(stdout, nullptr, _IOFBF, 1 << 14);
  if (err) std::setvbuf(stderr, nullptr, _IOFBF, 1 << 14);
  for (const DWORD which : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    // The progress line is redrawn with terminal escapes.
    const HANDLE handle = ::GetStdHandle(which);
    DWORD mode = 0;
    if (::GetConsoleMode(handle, &mode))
      ::SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  }
  const UINT before = ::GetConsoleOutputCP();
  if (before == CP_UTF8 || !::SetConsoleOutputCP(CP_UTF8)) return;
  // The console outlives the program: give it back as it was.
  gOutputCodePage = before;
  std::atexit(RestoreOutputCodePage);
}

bool StdinIsTerminal() {
  return IsConsole(STD_INPUT_HANDLE);
}

bool StderrIsTerminal() {
  return IsConsole(STD_ERROR_HANDLE);
}

int TerminalColumns() {
  // The window's width, not the buffer's: the buffer is often far wider
  // than what can be seen.
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (::GetConsoleScreenBufferInfo(::GetStdHandle(STD_ERROR_HANDLE), &info)) {
    const int width = info.srWindow.Right - info.srWindow.Left + 1;
    if (width > 0) return width;
  }
  if (const char* columns = std::getenv("COLUMNS")) {
    const long value = std::strtol(columns, nullptr, 10);
    if (value > 0 && value < 10000) return int(value);
  }
  return 80;
}

bool ReadSecretLine(std::string& line) {
  return ReadConsoleLine(line, true);
}

bool ReadLine(std::string& line) {
  return ReadConsoleLine(line, false);
}

// Nothing to save: the handler is added in front of the others and taken
// out again.
struct StopSignals::Saved {};

StopSignals::StopSignals() {
  gStopRequested = 0;
  ::SetConsoleCtrlHandler(NoteStopRequest, TRUE);
  gStopSignalsOn = 1;
}

StopSignals::~StopSignals() {
  gStopSignalsOn = 0;
  ::SetConsoleCtrlHandler(NoteStopRequest, FALSE);
}

bool StopRequested() {
  return gStopRequested != 0;
}

}  // namespace km::platform
