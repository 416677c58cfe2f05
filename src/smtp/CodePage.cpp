#include "smtp/CodePage.h"

#include "smtp/MimeLibrary.h"

#include <gmime/gmime.h>

#include <cerrno>
#include <iconv.h>

namespace smtpin {
namespace {

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

// Length of the UTF-8 sequence a lead byte starts, at most left.
size_t sequenceLength(unsigned char lead, size_t left)
{
    size_t n = 1;
    if (lead >= 0xF0 && lead <= 0xF7)
        n = 4;
    else if (lead >= 0xE0)
        n = lead <= 0xEF ? 3 : 1;
    else if (lead >= 0xC0)
        n = 2;
    return n < left ? n : left;
}

// Converts with iconv, writing "?" for every character that cannot be read
// or written and going on after it. A UTF-8 input skips whole characters.
std::optional<Converted> convert(std::string_view in, const char* to, const char* from, bool utf8Input)
{
    ensureMimeLibrary();
    const iconv_t cd = g_mime_iconv_open(to, from);
    if (cd == kNoConverter)
        return std::nullopt;
    Converted out;
    out.text.reserve(in.size() + in.size() / 2 + 16);
    char* inp = const_cast<char*>(in.data());
    size_t inLeft = in.size();
    char buf[4096];
    for (;;) {
        char* outp = buf;
        size_t outLeft = sizeof buf;
        const size_t r = inLeft > 0 ? iconv(cd, &inp, &inLeft, &outp, &outLeft)
                                    : iconv(cd, nullptr, nullptr, &outp, &outLeft);
        const int error = errno;
        out.text.append(buf, static_cast<size_t>(outp - buf));
        if (r != static_cast<size_t>(-1)) {
            if (inLeft == 0 && outp == buf)
                break;
            continue;
        }
        if (error == E2BIG)
            continue;
        if (inLeft == 0)
            break;   // the final shift sequence could not be written
        // EILSEQ or EINVAL: one character cannot be read or written.
        const size_t skip = utf8Input ? sequenceLength(static_cast<unsigned char>(*inp), inLeft) : 1;
        inp += skip;
        inLeft -= skip;
        out.text += '?';
        ++out.replaced;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    g_mime_iconv_close(cd);
    return out;
}

}  // namespace

CodePage::CodePage(std::string name) : name_(std::move(name)) {}

std::optional<std::string> CodePage::Check(const std::string& name)
{
    if (name.empty())
        return std::string("no code page is named");
    const std::string ascii = " !\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`abcdefghijklmnopqrstuvwxyz{|}~";
    const auto there = convert(ascii, name.c_str(), "UTF-8", true);
    const auto back = convert(ascii, "UTF-8", name.c_str(), false);
    if (!there || !back)
        return "\"" + name + "\" is not a charset this system can convert";
    if (there->text != ascii || back->text != ascii)
        return "\"" + name + "\" does not keep ASCII as it is";
    // é, €, Ж, ą: any of them taking more than one byte means a multi-byte code page.
    for (const char* probe : {"\xC3\xA9", "\xE2\x82\xAC", "\xD0\x96", "\xC4\x85"}) {
        const auto one = convert(probe, name.c_str(), "UTF-8", true);
        if (!one || one->text.size() != 1)
            return "\"" + name + "\" is not a single-byte code page";
    }
    return std::nullopt;
}

Converted CodePage::ToUtf8(std::string_view bytes) const
{
    return convert(bytes, "UTF-8", name_.c_str(), false).value_or(Converted{std::string(bytes), 0});
}

Converted CodePage::FromUtf8(std::string_view utf8) const
{
    return convert(utf8, name_.c_str(), "UTF-8", true).value_or(Converted{std::string(utf8), 0});
}

std::optional<Converted> CodePage::Decode(std::string_view bytes, const std::string& charset)
{
    return convert(bytes, "UTF-8", charset.c_str(), false);
}

bool AppendUtf8(std::string& out, unsigned long cp)
{
    if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return false;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
    return true;
}

}  // namespace smtpin
