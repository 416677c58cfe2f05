#include "core/ParameterChecks.h"

#include "platform/Text.h"
#include "smtp/AllowList.h"
#include "smtp/CodePage.h"
#include "status/StatusServer.h"

#include <QHostAddress>
#include <QString>

#include <algorithm>
#include <cctype>

namespace smtpin::core {
namespace {

using db::Kind;

std::optional<std::string> whole(const db::Parameter& p, const std::string& v)
{
    const auto n = db::WholeNumber(v);
    if (!n || *n < p.lo || *n > p.hi)
        return "\"" + v + "\" is not a whole number from " + std::to_string(p.lo) + " to " + std::to_string(p.hi);
    return std::nullopt;
}

std::optional<std::string> oneOf(const std::string& v, std::initializer_list<const char*> words, const char* said)
{
    for (const char* w : words)
        if (text::EqualsNoCase(text::Trim(v), w))
            return std::nullopt;
    return "\"" + v + "\" is " + said;
}

std::optional<std::string> kindCheck(const db::Parameter& p, const std::string& v)
{
    switch (p.kind) {
    case Kind::Whole: return whole(p, v);
    case Kind::Address:
        if (QHostAddress().setAddress(QString::fromStdString(std::string(text::Trim(v)))))
            return std::nullopt;
        return "\"" + v + "\" is not an IP address";
    case Kind::Host:
        if (QHostAddress().setAddress(QString::fromStdString(v)) || IsHostName(v))
            return std::nullopt;
        return "\"" + v + "\" is neither an IP address nor a host name";
    case Kind::HostPort: {
        std::string why;
        if (v.empty() || status::ParseListen(v, &why))
            return std::nullopt;
        return why;
    }
    case Kind::OnOff: return oneOf(v, {"ON", "OFF"}, "neither ON nor OFF");
    case Kind::YesNo: return oneOf(v, {"yes", "no"}, "neither yes nor no");
    case Kind::TrueFalse: return oneOf(v, {"True", "False"}, "neither True nor False");
    case Kind::Driver: return oneOf(v, {"QSQLITE", "QODBC"}, "neither QSQLITE nor QODBC");
    case Kind::CodePage: return CodePage::Check(v);
    case Kind::Senders: {
        std::string why;
        if (AllowList::Parse(v, &why))
            return std::nullopt;
        return why;
    }
    case Kind::Text: return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace

bool IsHostName(const std::string& name)
{
    if (name.empty() || name.size() > 253 || name.front() == '.' || name.front() == '-')
        return false;
    size_t label = 0;
    for (char c : name) {
        if (c == '.') {
            if (label == 0)
                return false;
            label = 0;
            continue;
        }
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-') || ++label > 63)
            return false;
    }
    return true;
}

std::optional<std::string> CheckParameter(const db::Parameter& p, const std::string& value)
{
    if (value.size() > p.maxLength)
        return "the value is longer than " + std::to_string(p.maxLength) + " characters";
    // A line end or a NUL would break the settings file or a log line.
    if (std::any_of(value.begin(), value.end(), [](char c) { return c == '\r' || c == '\n' || c == '\0'; }))
        return std::string("the value holds a line end");
    return kindCheck(p, value);
}

std::string NormalParameterValue(const db::Parameter& p, const std::string& value)
{
    if (p.kind == Kind::Whole)
        if (const auto n = db::WholeNumber(value))
            return std::to_string(*n);
    return value;
}

}  // namespace smtpin::core
