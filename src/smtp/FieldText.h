#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace smtpin {

// Space, tab, CR and LF off both ends.
std::string_view TrimBlanks(std::string_view s);

// &lt; &gt; &amp; &apos; &quot; and numeric references (&#233; &#xE9;),
// each decoded once; what is not an entity stays as written.
std::string DecodeEntities(std::string_view s);

// An element's value as the pager gets it: CDATA sections unwrapped,
// entities decoded, blanks trimmed, line breaks as CR. Nothing when the
// value holds markup (a nested tag), which no page text has.
std::optional<std::string> CleanFieldValue(std::string_view raw);

// Whether a value can be a pager number: printable ASCII without blanks
// or the record separator "|".
bool IsPagerNumber(std::string_view s);

// The text with the contents of CDATA sections and comments blanked out,
// the same length, so a tag search finds only real tags.
std::string MaskUnparsed(std::string_view text);

// The part of a mail's text the page's elements are looked for in: the
// first PagerMessage element when there is one, else all of it.
std::string_view PagerMessageScope(std::string_view text);

}  // namespace smtpin
