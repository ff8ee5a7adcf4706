// How pelko-cli shows what the component says: names from an archive made
// printable, and paths given back as the user typed them.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace km::cli {

// A name read from an archive may hold anything; control characters would
// break the one-line-per-entry format, so they are shown escaped.
std::string PrintableName(const std::u16string& name);
// PrintableName appended to out.
void AppendPrintableName(std::u16string_view name, std::string& out);
// The same for UTF-8 text (a message that quotes such a name).
std::string PrintableText(const std::string& text);

// One path as the component spells it (Windows view, Z:\...) and as the
// user typed it.
struct TypedPath {
  std::string internal;  // UTF-8 of the Windows view
  std::string typed;
  // A directory: what follows it in a message is a name below it, shown
  // with '/' separators.
  bool directory = false;
};

// The message with each internal spelling replaced by the typed one.
std::string ShownAsTyped(std::string message, const std::vector<TypedPath>& paths);

// The reason given when a write found the disk full; where: the file or
// folder on that disk, as shown to the user.
std::string NoSpaceText(const std::string& where);

// What every command says of an entry the archive holds without a name,
// which it passes over (archive as typed; offset: its local header's).
std::string NamelessEntryNote(const std::string& archive, int64_t offset);

// What list and test say about an archive whose directory had to be rebuilt
// from the local headers (archive as typed, made printable); found: whether
// any entry was found that way.
std::string RebuiltDirectoryNote(const std::string& archive, bool found);

}  // namespace km::cli
