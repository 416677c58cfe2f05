#include "smtp/FieldText.h"

#include "smtp/CodePage.h"
#include "platform/Text.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <iterator>

namespace smtpin {
namespace {


// "&#233;" or "&#xE9;" at the start of s: its length, and its UTF-8 in out.
size_t numericReference(std::string_view s, std::string& out)
{
    if (!s.starts_with("&#"))
        return 0;
    const bool hex = s.size() > 2 && (s[2] == 'x' || s[2] == 'X');
    const size_t first = hex ? 3 : 2;
    const size_t semi = s.find(';', first);
    if (semi == std::string_view::npos || semi == first || semi > first + 8)
        return 0;
    unsigned long cp = 0;
    const auto [end, ec] = std::from_chars(s.data() + first, s.data() + semi, cp, hex ? 16 : 10);
    if (ec != std::errc() || end != s.data() + semi)
        return 0;
    std::string utf8;
    if (!AppendUtf8(utf8, cp))
        return 0;
    out += utf8;
    return semi + 1;
}

std::string lineBreaksAsCr(std::string_view s)
{
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n')
            continue;
        out += s[i] == '\n' ? '\r' : s[i];
    }
    return out;
}

}  // namespace

std::string_view TrimBlanks(std::string_view s) { return text::Trim(s, text::kBlanks); }

std::string DecodeEntities(std::string_view in)
{
    struct Entity {
        std::string_view text;
        char value;
    };
    static constexpr Entity kEntities[] = {
        {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&apos;", '\''}, {"&quot;", '"'},
    };
    // Built afresh, so a mail full of entities stays linear and a decoded
    // character is never looked at again.
    std::string out;
    out.reserve(in.size());
    size_t p = 0;
    while (p < in.size()) {
        if (in[p] == '&') {
            const auto hit = std::find_if(std::begin(kEntities), std::end(kEntities),
                                          [&](const Entity& e) { return in.substr(p, e.text.size()) == e.text; });
            if (hit != std::end(kEntities)) {
                out += hit->value;
                p += hit->text.size();
                continue;
            }
            if (const size_t n = numericReference(in.substr(p), out)) {
                p += n;
                continue;
            }
        }
        out += in[p++];
    }
    return out;
}

std::optional<std::string> CleanFieldValue(std::string_view raw)
{
    static constexpr std::string_view kOpen = "<![CDATA[";
    static constexpr std::string_view kClose = "]]>";
    std::string out;
    size_t p = 0;
    while (p < raw.size()) {
        const size_t lt = raw.find('<', p);
        out += DecodeEntities(raw.substr(p, lt == std::string_view::npos ? std::string_view::npos : lt - p));
        if (lt == std::string_view::npos)
            break;
        if (raw.substr(lt, kOpen.size()) != kOpen) {
            // "Temp < 5" is text; a "<" that starts a tag is markup.
            const char next = lt + 1 < raw.size() ? raw[lt + 1] : ' ';
            if (std::isalpha(static_cast<unsigned char>(next)) || next == '/' || next == '!' || next == '?')
                return std::nullopt;
            out += '<';
            p = lt + 1;
            continue;
        }
        const size_t end = raw.find(kClose, lt + kOpen.size());
        if (end == std::string_view::npos)
            return std::nullopt;
        out.append(raw.substr(lt + kOpen.size(), end - lt - kOpen.size()));
        p = end + kClose.size();
    }
    return lineBreaksAsCr(TrimBlanks(out));
}

bool IsPagerNumber(std::string_view s)
{
    return std::all_of(s.begin(), s.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u > 0x20 && u < 0x7F && c != '|';
    });
}

std::string MaskUnparsed(std::string_view text)
{
    std::string out(text);
    struct Section {
        std::string_view open, close;
    };
    for (const Section s : {Section{"<![CDATA[", "]]>"}, Section{"<!--", "-->"}}) {
        for (size_t at = out.find(s.open); at != std::string::npos; at = out.find(s.open, at)) {
            const size_t from = at + s.open.size();
            size_t end = out.find(s.close, from);
            if (end == std::string::npos)
                end = out.size();
            std::fill(out.begin() + static_cast<std::ptrdiff_t>(from), out.begin() + static_cast<std::ptrdiff_t>(end), ' ');
            at = end;
        }
    }
    return out;
}

std::string_view PagerMessageScope(std::string_view text)
{
    const size_t open = text.find("<PagerMessage");
    if (open == std::string_view::npos)
        return text;
    const size_t close = text.find("</PagerMessage>", open);
    return text.substr(open, close == std::string_view::npos ? std::string_view::npos : close - open);
}

}  // namespace smtpin
