#pragma once

#include "smtp/CodePage.h"

#include <string>
#include <string_view>

namespace smtpin {

// The text of a mail in which the pager message is looked for.
struct PagerText {
    std::string text;          // UTF-8
    std::string charset;       // the part's declared charset, empty when none
    bool unknownCharset = false;  // declared but not known: read as the code page
    int unreadable = 0;        // bytes the declared charset does not define, now "?"
    bool undeclaredUtf8 = false;  // no charset (or ASCII) declared, but the 8-bit bytes are UTF-8
};

// Finds the pager message in a finished mail (lines ended by CR LF): the
// first MIME part, at any depth, whose decoded text holds "<PagerMessage",
// with its transfer encoding and charset undone. A mail without MIME
// headers, or whose parts hold no pager message, is read as plain text. Text
// without a declared charset is UTF-8 when its 8-bit bytes are, else the
// switch's code page.
PagerText FindPagerText(std::string_view mail, const CodePage& codePage);

// True when the lines before the first empty line name a MIME content.
bool HasMimeHeaders(std::string_view mail);

// Whether a mail line is a header field or the continuation of one.
bool IsHeaderLine(std::string_view line);

}  // namespace smtpin
