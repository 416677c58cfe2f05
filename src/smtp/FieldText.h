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

// Whether a trimmed value holds a blank or control character.
bool HoldsBlankOrControl(std::string_view s);

}  // namespace smtpin
