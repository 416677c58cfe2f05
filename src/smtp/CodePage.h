#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace smtpin {

// Text converted between charsets; what cannot be read or written is "?".
struct Converted {
    std::string text;
    int replaced = 0;   // characters that became "?"
};

// The single-byte code page the switch speaks. Mail text is turned into
// UTF-8 first, then into this code page for the record.
class CodePage {
public:
    static constexpr const char* kDefault = "windows-1252";

    explicit CodePage(std::string name = kDefault);

    // Why name cannot serve as the switch's code page, or nothing.
    static std::optional<std::string> Check(const std::string& name);

    const std::string& name() const { return name_; }
    // Bytes of this code page as UTF-8.
    Converted ToUtf8(std::string_view bytes) const;
    // UTF-8 text in this code page; characters it lacks become "?".
    Converted FromUtf8(std::string_view utf8) const;

    // Text in charset as UTF-8; nothing when the charset is unknown.
    static std::optional<Converted> Decode(std::string_view bytes, const std::string& charset);

private:
    std::string name_;
};

// Appends the UTF-8 form of a code point; false for one that is no character.
bool AppendUtf8(std::string& out, unsigned long codePoint);

}  // namespace smtpin
