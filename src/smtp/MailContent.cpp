#include "smtp/MailContent.h"

#include "platform/Text.h"
#include "smtp/MimeLibrary.h"

#include <gmime/gmime.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <mutex>
#include <optional>

namespace smtpin {

void ensureMimeLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

namespace {

// Deeper nesting than this is no mail a dispatching system writes; the
// bound keeps a hostile one from exhausting the stack.
constexpr int kMaxDepth = 32;
constexpr size_t kMaxMultiparts = 200;   // multiparts and attached mails



size_t countNoCase(std::string_view haystack, std::string_view needle)
{
    size_t n = 0;
    for (size_t at = text::FindNoCase(haystack, needle); at != std::string_view::npos;
         at = text::FindNoCase(haystack, needle, at + needle.size()))
        ++n;
    return n;
}

bool holdsPagerMessage(std::string_view text) { return countNoCase(text, "<PagerMessage") > 0; }

// A missing charset, or plain ASCII, is read as the switch's code page, so
// the 8-bit bytes of an undeclared mail mean what they always meant; unless
// they are UTF-8, which single-byte text with accents practically never is
// by chance, and which is what senders that do not label their text write.
bool readAsCodePage(std::string_view charset)
{
    for (std::string_view ascii : {"", "us-ascii", "ascii", "ansi_x3.4-1968", "us", "iso646-us"})
        if (text::EqualsNoCase(charset, ascii))
            return true;
    return false;
}

template <typename T> struct Unref {
    void operator()(T* p) const { if (p) g_object_unref(p); }
};
template <typename T> using Owned = std::unique_ptr<T, Unref<T>>;

std::string decodedContent(GMimePart* part)
{
    GMimeDataWrapper* wrapper = g_mime_part_get_content(part);
    if (!wrapper)
        return {};
    Owned<GMimeStream> out(g_mime_stream_mem_new());
    g_mime_data_wrapper_write_to_stream(wrapper, out.get());
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(out.get()));
    return bytes ? std::string(reinterpret_cast<const char*>(bytes->data), bytes->len) : std::string();
}

PagerText partText(GMimeObject* object, const std::string& content, const CodePage& codePage)
{
    PagerText found;
    const char* declared = g_mime_object_get_content_type_parameter(object, "charset");
    found.charset = declared ? declared : "";
    if (readAsCodePage(found.charset) && text::HasEightBit(content) && text::IsUtf8(content)) {
        found.text = content;
        found.undeclaredUtf8 = true;
        return found;
    }
    std::optional<Converted> text;
    if (!readAsCodePage(found.charset))
        text = CodePage::Decode(content, found.charset);
    if (!text) {
        found.unknownCharset = !readAsCodePage(found.charset);
        text = codePage.ToUtf8(content);
    }
    found.text = std::move(text->text);
    found.unreadable = text->replaced;
    return found;
}

std::optional<PagerText> search(GMimeObject* object, const CodePage& codePage, int depth)
{
    if (!object || depth > kMaxDepth)
        return std::nullopt;
    if (GMIME_IS_MULTIPART(object)) {
        GMimeMultipart* multipart = GMIME_MULTIPART(object);
        const int count = g_mime_multipart_get_count(multipart);
        for (int i = 0; i < count; ++i)
            if (auto found = search(g_mime_multipart_get_part(multipart, i), codePage, depth + 1))
                return found;
        return std::nullopt;
    }
    if (GMIME_IS_MESSAGE_PART(object)) {
        GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
        return inner ? search(g_mime_message_get_mime_part(inner), codePage, depth + 1) : std::nullopt;
    }
    if (!GMIME_IS_PART(object))
        return std::nullopt;
    const std::string content = decodedContent(GMIME_PART(object));
    if (holdsPagerMessage(content))
        return partText(object, content, codePage);
    // Only a text in a charset that is no ASCII superset (UTF-16, say) hides the tag.
    GMimeContentType* type = g_mime_object_get_content_type(object);
    if (!type || !g_mime_content_type_is_type(type, "text", "*"))
        return std::nullopt;
    PagerText probe = partText(object, content, codePage);
    if (!holdsPagerMessage(probe.text))
        return std::nullopt;
    return probe;
}

std::optional<PagerText> searchMime(std::string_view mail, const CodePage& codePage)
{
    if (countNoCase(mail, "multipart/") + countNoCase(mail, "message/") > kMaxMultiparts)
        return std::nullopt;
    ensureMimeLibrary();
    Owned<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(mail.data(), mail.size()));
    Owned<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    Owned<GMimeMessage> message(g_mime_parser_construct_message(parser.get(), nullptr));
    if (!message)
        return std::nullopt;
    return search(g_mime_message_get_mime_part(message.get()), codePage, 0);
}

}  // namespace

bool IsHeaderLine(std::string_view line)
{
    if (line.empty())
        return false;
    if (line.front() == ' ' || line.front() == '\t')
        return true;
    const size_t colon = line.find(':');
    if (colon == 0 || colon == std::string_view::npos)
        return false;
    return std::all_of(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(colon),
                       [](char c) { return c > ' ' && c < 127; });
}

bool HasMimeHeaders(std::string_view mail)
{
    size_t pos = 0;
    while (pos < mail.size()) {
        size_t end = mail.find('\n', pos);
        if (end == std::string_view::npos)
            end = mail.size();
        std::string_view line = mail.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (!IsHeaderLine(line))
            return false;
        const std::string_view name = line.substr(0, line.find(':'));
        for (std::string_view mime : {"content-type", "content-transfer-encoding", "mime-version"})
            if (text::EqualsNoCase(name, mime))
                return true;
        pos = end + 1;
    }
    return false;
}

PagerText FindPagerText(std::string_view mail, const CodePage& codePage)
{
    if (HasMimeHeaders(mail))
        if (auto found = searchMime(mail, codePage))
            return std::move(*found);
    PagerText plain;
    if (text::HasEightBit(mail) && text::IsUtf8(mail)) {
        plain.text = std::string(mail);
        plain.undeclaredUtf8 = true;
        return plain;
    }
    Converted text = codePage.ToUtf8(mail);
    plain.text = std::move(text.text);
    plain.unreadable = text.replaced;
    return plain;
}

}  // namespace smtpin
