#include "cli/ProgressLine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <vector>

#include "archiver/Archiver.h"
#include "platform/Console.h"
#include "platform/System.h"
#include "zipformat/Zip64Fields.h"

namespace km::cli {
namespace {

// One character of a name: where its bytes are and how wide it shows.
struct Glyph {
  size_t offset;
  size_t length;
  int columns;
};

struct Range {
  char32_t first;
  char32_t last;
};

// Characters shown two columns wide (East Asian Wide and Fullwidth, emoji).
// Erring towards wide only shortens the line; erring the other way would
// wrap it.
constexpr Range kWide[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23FA},
    {0x25FD, 0x25FE},   {0x2600, 0x27BF},   {0x2B1B, 0x2B55},   {0x2E80, 0x303E},
    {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},
    {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},
    {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x16FE0, 0x18CFF},
    {0x1AFF0, 0x1B2FF}, {0x1F000, 0x1FAFF}, {0x20000, 0x3FFFD},
};

// Combining marks, drawn over the character before them (the decomposed
// accents of names made on macOS), and zero-width spaces and joiners.
constexpr Range kZeroWidth[] = {
    {0x0300, 0x036F}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF},
    {0x200B, 0x200F}, {0x20D0, 0x20FF}, {0xFE20, 0xFE2F},
};

template <size_t N>
bool InRanges(char32_t c, const Range (&ranges)[N]) {
  const Range* found =
      std::upper_bound(std::begin(ranges), std::end(ranges), c,
                       [](char32_t value, const Range& r) { return value < r.first; });
  return found != std::begin(ranges) && c <= (found - 1)->last;
}

int ColumnsOf(char32_t c) {
  if (InRanges(c, kZeroWidth)) return 0;
  return InRanges(c, kWide) ? 2 : 1;
}

// The length of the well-formed UTF-8 sequence at text[at] and its code
// point; 0 when the bytes there are not one.
size_t DecodeAt(std::string_view text, size_t at, char32_t& c) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[at + i]); };
  const unsigned char lead = byte(0);
  size_t length = 0;
  if (lead < 0x80) {
    c = lead;
    return 1;
  }
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    c = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    c = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    c = lead & 0x07;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    c = (c << 6) | (byte(i) & 0x3F);
  }
  // Overlong forms, surrogates and what lies past U+10FFFF.
  constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < kLeast[length] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) return 0;
  return length;
}

// The name as characters that are safe to draw: a control character would
// move the cursor, a malformed byte may show as anything; each becomes '?'.
std::string Drawable(std::string_view text, std::vector<Glyph>& glyphs) {
  std::string out;
  for (size_t at = 0; at < text.size();) {
    char32_t c = 0;
    size_t length = DecodeAt(text, at, c);
    const bool control = c < 0x20 || (c >= 0x7F && c <= 0x9F);
    if (length == 0 || control) {
      glyphs.push_back({out.size(), 1, 1});
      out += '?';
      at += length == 0 ? 1 : length;
      continue;
    }
    glyphs.push_back({out.size(), length, ColumnsOf(c)});
    out.append(text.substr(at, length));
    at += length;
  }
  return out;
}

constexpr std::string_view kEllipsis = "...";

// The name in at most room columns: whole when it fits, else its start and
// its end around "...", the end (the file's own name) given the larger part.
// Empty when not even a little of it fits.
std::string Elided(std::string_view name, int room) {
  std::vector<Glyph> glyphs;
  const std::string text = Drawable(name, glyphs);
  int columns = 0;
  for (const Glyph& g : glyphs) columns += g.columns;
  if (columns <= room) return text;
  const int ellipsis = int(kEllipsis.size());
  if (room < ellipsis + 2) return {};
  int headRoom = (room - ellipsis) / 3;
  int tailRoom = room - ellipsis - headRoom;
  size_t head = 0;  // glyphs kept from the start
  while (head < glyphs.size() && glyphs[head].columns <= headRoom)
    headRoom -= glyphs[head++].columns;
  size_t tail = glyphs.size();  // first glyph kept at the end
  while (tail > head && glyphs[tail - 1].columns <= tailRoom) tailRoom -= glyphs[--tail].columns;
  // A mark left at the start of the end would sit on the dots.
  while (tail < glyphs.size() && glyphs[tail].columns == 0) ++tail;
  std::string out =
      text.substr(0, head == 0 ? 0 : glyphs[head - 1].offset + glyphs[head - 1].length);
  out += kEllipsis;
  if (tail < glyphs.size()) out += text.substr(glyphs[tail].offset);
  return out;
}

std::string Printf(const char* format, double value, const char* unit) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, format, value, unit);
  return buffer;
}

// "12.3 MB/s", in decimal units as drives and networks are sold.
std::string RateText(double bytesPerSecond) {
  static const char* const kUnits[] = {"B", "kB", "MB", "GB", "TB"};
  double value = bytesPerSecond;
  size_t unit = 0;
  while (value >= 999.5 && unit + 1 < std::size(kUnits)) {
    value /= 1000;
    ++unit;
  }
  if (unit == 0 || value >= 99.95) return Printf("%.0f %s/s", value, kUnits[unit]);
  return Printf("%.1f %s/s", value, kUnits[unit]);
}

// "0:42" or "1:02:03"; "--:--" when not known or beyond a hundred hours.
std::string TimeLeftText(const ProgressFigures& figures) {
  if (figures.bytesPerSecond <= 0 || figures.bytesLeft < 0) return "--:--";
  const double seconds = std::ceil(double(figures.bytesLeft) / figures.bytesPerSecond);
  if (!(seconds < 100.0 * 3600)) return "--:--";
  const long total = long(seconds);
  char buffer[32];
  if (total >= 3600)
    std::snprintf(buffer, sizeof buffer, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60,
                  total % 60);
  else
    std::snprintf(buffer, sizeof buffer, "%ld:%02ld", total / 60, total % 60);
  return buffer;
}

std::string Bar(double percent, int inner) {
  const int filled = int(percent * inner / 100);
  std::string bar = "[";
  bar.append(size_t(filled), '=');
  if (filled > 0 && filled < inner) bar.back() = '>';
  bar.append(size_t(inner - filled), ' ');
  return bar + "]";
}

}  // namespace

std::string FormatProgressLine(const ProgressFigures& figures, int columns) {
  const int room = columns - 1;
  const double percent =
      std::clamp(std::isnan(figures.percent) ? 0.0 : figures.percent, 0.0, 100.0);
  char percentText[8];
  std::snprintf(percentText, sizeof percentText, "%3d%%", int(percent));

  const bool bytesKnown = figures.bytesLeft >= 0;
  // The rate keeps its place before it is known, so that the line does not
  // jump when it appears.
  const std::string rate =
      figures.bytesPerSecond > 0 ? RateText(figures.bytesPerSecond) : std::string();
  const std::string rateField = std::string(rate.size() < 9 ? 9 - rate.size() : 0, ' ') + rate;
  std::string timeLeft = TimeLeftText(figures);
  if (timeLeft.size() < 5) timeLeft.insert(0, 5 - timeLeft.size(), ' ');

  // The layouts from the fullest down; the first that leaves the name a
  // dozen columns is taken. Not the name's own width: the layout would change
  // from one file to the next.
  struct Layout {
    int bar;  // inner width; 0: none
    bool rate;
    bool timeLeft;
    bool leftWord;
  };
  static constexpr Layout kLayouts[] = {
      {20, true, true, true},   {10, true, true, true},  {10, true, true, false},
      {10, false, true, false}, {0, false, true, false}, {0, false, false, false},
  };
  const bool named = !figures.name.empty();
  const int nameLeast = named ? 2 + 12 : 0;

  for (const Layout& layout : kLayouts) {
    std::string line = percentText;
    if (layout.bar > 0) line += " " + Bar(percent, layout.bar);
    if (bytesKnown && layout.rate) line += " " + rateField;
    if (bytesKnown && layout.timeLeft) line += " " + timeLeft + (layout.leftWord ? " left" : "");
    const int used = int(line.size());  // all ASCII so far
    if (used + nameLeast > room && &layout != &kLayouts[std::size(kLayouts) - 1]) continue;
    // Too narrow for even the share: a cut number would mislead.
    if (used > room) return {};
    if (named) {
      const std::string name = Elided(figures.name, room - used - 2);
      if (!name.empty()) line += "  " + name;
    }
    return line;
  }
  return {};
}

// ---- The line on the terminal.

namespace {

// The line of the command that runs; there is one at a time.
ProgressLine* gLive = nullptr;

}  // namespace

ProgressLine::ProgressLine(bool shown) : shown_(shown) {
  if (shown_) gLive = this;
}

ProgressLine::~ProgressLine() {
  Clear();
  if (gLive == this) gLive = nullptr;
}

void ProgressLine::Begin(int64_t totalBytes) {
  total_ = std::max<int64_t>(totalBytes, 0);
  done_ = 0;
  since_ = platform::TickCount();
  doneSince_ = 0;
}

void ProgressLine::Update(double percent, int64_t doneBytes, std::string_view name) {
  if (!shown_) return;
  done_ = doneBytes;
  const uint32_t now = platform::TickCount();
  if (everDrawn_ && now - lastDrawn_ < 100) return;
  ProgressFigures figures;
  figures.percent = percent;
  figures.name = name;
  if (total_ > 0) {
    figures.bytesLeft = std::max<int64_t>(total_ - done_, 0);
    // Half a second of work before a rate is trusted.
    const double seconds = double(now - since_) / 1000;
    if (seconds >= 0.5 && done_ > doneSince_)
      figures.bytesPerSecond = double(done_ - doneSince_) / seconds;
  }
  const std::string line = FormatProgressLine(figures, platform::TerminalColumns());
  // Written over the line before, then the rest of that line erased: no
  // blank moment in between.
  std::fprintf(stderr, "\r%s\033[K", line.c_str());
  std::fflush(stderr);
  drawn_ = true;
  everDrawn_ = true;
  lastDrawn_ = now;
}

void ProgressLine::Clear() {
  if (!drawn_) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  drawn_ = false;
}

void ClearProgressLine() {
  if (gLive) gLive->Clear();
}

ProgressPause::ProgressPause() {
  ClearProgressLine();
}

ProgressPause::~ProgressPause() {
  if (!gLive) return;
  gLive->since_ = platform::TickCount();
  gLive->doneSince_ = gLive->done_;
}

// ---- Bytes of a test or an extraction.

namespace {

int64_t AddSaturated(int64_t a, int64_t b) {
  return a > INT64_MAX - b ? INT64_MAX : a + b;
}

// Whether the event's name is the entry's: events spell '/' as '\'.
bool SameName(const std::u16string& entry, const std::u16string& shown) {
  return entry.size() == shown.size() &&
         std::equal(entry.begin(), entry.end(), shown.begin(),
                    [](char16_t a, char16_t b) { return (a == u'/' ? u'\\' : a) == b; });
}

}  // namespace

void EntryBytes::Begin(const TKMBaseArchiver& archiver) {
  if (begun_) return;
  begun_ = true;
  if (!archiver.DirManager()) return;
  const TKMDirArray& entries = archiver.DirManager()->CurrentDir();
  for (int32_t i = 0; i < entries.Count(); ++i) {
    const TDirItem& item = entries.GetItem(i);
    if (item.Marked) total_ = AddSaturated(total_, std::max<int64_t>(UncompressedSizeOf(item), 0));
  }
}

void EntryBytes::EntryStarted(const TKMBaseArchiver& archiver, const std::u16string& name) {
  current_ = 0;
  share_ = 0;
  if (!archiver.DirManager()) return;
  // Entries are processed in their order: the one begun is the next marked
  // one of that name.
  const TKMDirArray& entries = archiver.DirManager()->CurrentDir();
  for (int32_t i = next_; i < entries.Count(); ++i) {
    const TDirItem& item = entries.GetItem(i);
    if (!item.Marked || !SameName(item.FileName, name)) continue;
    current_ = std::max<int64_t>(UncompressedSizeOf(item), 0);
    next_ = i + 1;
    return;
  }
}

void EntryBytes::EntryProgress(double percent) {
  share_ = std::clamp(std::isnan(percent) ? 0.0 : percent / 100, 0.0, 1.0);
}

void EntryBytes::EntryEnded() {
  finished_ = AddSaturated(finished_, current_);
  current_ = 0;
  share_ = 0;
}

int64_t EntryBytes::Done() const {
  // A size near the 64-bit limit (a damaged archive's) would not convert back.
  const double part = share_ * double(current_);
  const int64_t partBytes = part >= 9e18 ? current_ : int64_t(part);
  return std::min(AddSaturated(finished_, partBytes), total_);
}

double EntryBytes::Percent(double countPercent) const {
  if (total_ <= 0) return countPercent;
  return double(Done()) / double(total_) * 100;
}

}  // namespace km::cli
