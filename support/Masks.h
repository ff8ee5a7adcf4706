// Wildcard masks over wide names.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace km {

// Matches name against a mask of '*' (any run of characters), '?' (any one
// character) and literal characters. Quirks kept from the product this one
// replaces: a mask (or the rest of a mask after a '*') that is exactly "*.*"
// matches any name, even one without a dot; the rest of a mask that is
// exactly "*" matches anything, the empty rest of a name included; any other
// '*' needs at least one name character after it to be tried against the
// rest of the mask. Separators are ordinary characters. With ignoreCase both
// sides are upper-cased first; characters are compared linguistically.
// Runs in O(name * mask) time and O(mask) memory.
bool WildMatch(std::u16string_view name, std::u16string_view mask, bool ignoreCase);
// Whether WildMatch takes nameChar for the literal maskChar.
bool WildCharMatches(char16_t maskChar, char16_t nameChar, bool ignoreCase);

// A quick test before WildMatch with ignoreCase, for masks tried against
// many names: each character folded onto one of 64 bits. A name whose bits
// lack one of those its mask needs cannot match it; one that has them all
// may or may not.
uint64_t WildNameBits(std::u16string_view name);
// The bits of the literal characters every match of mask must find in the
// name.
uint64_t WildMaskNeeds(std::u16string_view mask);

// Every occurrence of oldText replaced by newText, left to right, without
// rescanning replaced text. An empty oldText leaves text as it is.
std::u16string ReplaceAll(const std::u16string& text, const std::u16string& oldText,
                          const std::u16string& newText);

}  // namespace km
