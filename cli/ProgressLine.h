// The one updating line that shows on a terminal how far a run has got: a
// bar, the share of the bytes done, the rate, the time left and the file
// under way, redrawn in place with \r.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace km {
class TKMBaseArchiver;
}

namespace km::cli {

// What one drawing of the line shows.
struct ProgressFigures {
  double percent = 0;         // share of the bytes done, 0 to 100
  double bytesPerSecond = 0;  // 0: not known yet
  int64_t bytesLeft = -1;     // below 0: not known
  std::string_view name;      // UTF-8, printable
};

// The line for a terminal columns wide, at most columns - 1 wide so that
// the cursor never reaches the last column (where some terminals wrap at
// once). What does not fit goes: the bar shrinks, then the rate and the time
// left, and the name is shortened in the middle with "...".
std::string FormatProgressLine(const ProgressFigures& figures, int columns);

// The line itself, on standard error. Shows nothing unless shown (a
// terminal there, no --quiet). Events come from one thread.
class ProgressLine {
 public:
  explicit ProgressLine(bool shown);
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // A new stretch of work of totalBytes (0: unknown, then only the share
  // is shown); the rate is measured from here.
  void Begin(int64_t totalBytes);
  // Redrawn at most ten times a second.
  void Update(double percent, int64_t doneBytes, std::string_view name);

 private:
  friend void ClearProgressLine();
  friend class ProgressPause;
  void Clear();

  bool shown_;
  bool drawn_ = false;  // on the screen now
  bool everDrawn_ = false;
  uint32_t lastDrawn_ = 0;
  int64_t total_ = 0;
  int64_t done_ = 0;
  // The rate counts from here: the start, or the end of a wait for the user.
  uint32_t since_ = 0;
  int64_t doneSince_ = 0;
};

// Takes the line off the screen, if one is shown, before anything else is
// written to standard output or standard error; the next update draws it
// again.
void ClearProgressLine();

// While a person is asked something: the line is taken off, and the time
// spent waiting for the answer does not lower the rate.
class ProgressPause {
 public:
  ProgressPause();
  ~ProgressPause();
  ProgressPause(const ProgressPause&) = delete;
  ProgressPause& operator=(const ProgressPause&) = delete;
};

// The bytes of a test or an extraction. The component counts entries, and
// tells how far into each entry's data it is: the sizes of the entries make
// bytes of that.
class EntryBytes {
 public:
  // At the run's first start, with the entries to process marked. Later
  // starts of the same run (after an entry broke it off) keep the total.
  void Begin(const TKMBaseArchiver& archiver);
  // An entry begins; name as the file progress event gives it.
  void EntryStarted(const TKMBaseArchiver& archiver, const std::u16string& name);
  void EntryProgress(double percent);
  void EntryEnded();

  int64_t Total() const { return total_; }
  int64_t Done() const;
  // The share of the bytes done; countPercent (the component's, by
  // entries) when the entries hold no bytes.
  double Percent(double countPercent) const;

 private:
  bool begun_ = false;
  int64_t total_ = 0;
  int64_t finished_ = 0;
  int64_t current_ = 0;  // the size of the entry under way
  double share_ = 0;     // of it done, 0 to 1
  int32_t next_ = 0;     // where to look for the next entry begun
};

}  // namespace km::cli
