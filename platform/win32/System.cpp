#include "platform/System.h"

#include "platform/CodePage.h"
#include "platform/win32/Win32.h"
// After windows.h, which it needs.
#include <shellapi.h>

namespace km::platform {

uint64_t AvailablePhysicalMemory() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (!::GlobalMemoryStatusEx(&status)) return 0;
  return status.ullAvailPhys;
}

bool PerformanceCounter(int64_t& value) {
  LARGE_INTEGER counter;
  if (!::QueryPerformanceCounter(&counter)) return false;
  value = counter.QuadPart;
  return true;
}

uint32_t TickCount() {
  return ::GetTickCount();
}

std::u16string ExecutableFileName() {
  std::wstring name(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, name.data(), DWORD(name.size()));
    if (n == 0) return {};
    // A name that filled the buffer may have been cut short.
    if (n < name.size()) return win32::Narrow16(std::wstring_view(name.data(), n));
    if (name.size() >= 32768) return {};
    name.resize(name.size() * 2);
  }
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  std::vector<std::string> arguments;
  // The C runtime and the shell split a command line the same way; should
  // they ever disagree, the runtime's split stands.
  if (wide != nullptr && count == argc) {
    for (int i = 0; i < count; ++i) {
      const std::wstring_view argument(wide[i]);
      arguments.push_back(WideToUtf8(std::u16string(argument.begin(), argument.end())));
    }
  } else {
    arguments.assign(argv, argv + argc);
  }
  if (wide != nullptr) ::LocalFree(wide);
  return arguments;
}

// The process heap grows in large steps already.
void* AllocatePages(size_t bytes) {
  return ::VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

void FreePages(void* pages, size_t /*bytes*/) {
  if (pages) ::VirtualFree(pages, 0, MEM_RELEASE);
}

void PrepareHeap() {}

}  // namespace km::platform
