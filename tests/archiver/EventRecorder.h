// The events an archiver raises, one line each with every value it passes,
// so that two runs can be compared event for event; a cancel at a chosen
// event, and a note of any handler called off the owner's thread.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "archiver/Archiver.h"
#include "platform/CodePage.h"

namespace km::test {

class TEventRecorder {
 public:
  // Records file and overall progress and failures (answered with Ignore,
  // unless onFailure says otherwise); the calling thread is the owner.
  void Record(TKMBaseArchiver& a) {
    owner_ = std::this_thread::get_id();
    a.OnFileProgress = [this](TKMBaseArchiver&, const std::u16string& name, double progress,
                              TKMProcessOperation op, TKMProgressPhase phase, bool& cancel) {
      Note("file " + platform::WideToUtf8(name) + " " + Exact(progress) + " " +
           std::to_string(int(op)) + " " + std::to_string(int(phase)));
      Maybe(cancel);
    };
    a.OnOverallProgress = [this](TKMBaseArchiver&, double progress, TKMProcessOperation op,
                                 TKMProgressPhase phase, bool& cancel) {
      Note("overall " + Exact(progress) + " " + std::to_string(int(op)) + " " +
           std::to_string(int(phase)));
      Maybe(cancel);
    };
    a.OnProcessFileFailure = [this](TKMBaseArchiver&, const std::u16string& name,
                                    TKMProcessOperation, int32_t native, int32_t,
                                    const std::u16string& message, TKMAction& action) {
      Note("failure " + platform::WideToUtf8(name) + " " + std::to_string(native) + " " +
           platform::WideToUtf8(message));
      action = fxaIgnore;
      if (onFailure) onFailure(action);
    };
  }

  void Note(const std::string& line) {
    // Handlers are the owner's: never called from a worker.
    if (std::this_thread::get_id() != owner_) offThread = true;
    events.push_back(line);
  }

  std::vector<std::string> events;
  bool offThread = false;
  int cancelAt = 0;  // the event whose handler cancels; 0: none
  std::function<void(TKMAction&)> onFailure;

 private:
  static std::string Exact(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
  }
  void Maybe(bool& cancel) {
    if (cancelAt > 0 && int(events.size()) == cancelAt) cancel = true;
  }

  std::thread::id owner_;
};

}  // namespace km::test
