// Equality of UTF-16 text by its code units. std::u16string's == and
// starts_with walk the text one unit at a time through an ordering compare;
// equality needs no order, and memcmp reads many units at once. The hot
// loops of a sync (name lookups, path prefixes) compare thousands of names.
#pragma once

#include <cstring>
#include <string_view>

namespace km {

inline bool SameUnits(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(char16_t)) == 0);
}

inline bool StartsWithUnits(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() && SameUnits(text.substr(0, prefix.size()), prefix);
}

}  // namespace km
