#include "smtp/PagerMessageExtraction.h"

#include "db/CatalogueConnection.h"
#include "log/SystemLog.h"
#include "smtp/Base64.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <optional>
#include <utility>

namespace smtpin {
namespace {

constexpr const char* kNull = "NULL";

std::string_view trimmed(std::string_view s)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return s;
}

bool equalsNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// "True"/"False" in any letter case, or a number (non-zero is True).
std::optional<bool> toBoolean(std::string_view text)
{
    std::string_view s = trimmed(text);
    if (equalsNoCase(s, "true"))
        return true;
    if (equalsNoCase(s, "false"))
        return false;
    if (!s.empty() && s.front() == '+')
        s.remove_prefix(1);
    if (s.empty())
        return std::nullopt;
    double d = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), d);
    if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(d))
        return std::nullopt;
    return d != 0.0;
}

}  // namespace

PagerMessageExtraction::PagerMessageExtraction(const Clock& clock, SystemLog& log, db::CatalogueConnection& db,
                                               std::function<std::string()> logTick, SendFunction send)
    : clock_(clock), log_(log), db_(db), logTick_(std::move(logTick)), send_(std::move(send))
{
}

void PagerMessageExtraction::log(const std::string& text) { log_.UpdateSMTPLog(text); }

std::string PagerMessageExtraction::GetTagValue(std::string_view text, std::string_view name)
{
    const std::string start = "<" + std::string(name) + ">";
    const std::string end = "</" + std::string(name) + ">";
    // A later start tag cannot have an end tag after it when the first has none.
    const size_t i = text.find(start);
    if (i == std::string_view::npos)
        return kNull;
    const size_t j = text.find(end, i);
    if (j == std::string_view::npos || j <= i + start.size())
        return kNull;
    return std::string(text.substr(i + start.size(), j - i - start.size()));
}

void PagerMessageExtraction::DecodeXmlEntities(std::string& s)
{
    struct Entity {
        std::string_view text;
        char value;
    };
    static constexpr Entity kEntities[] = {
        {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&apos;", '\''}, {"&quot;", '"'},
    };
    // Built afresh rather than edited in place, so a mail full of entities
    // stays linear; a decoded character is never looked at again.
    const std::string_view in(s);
    std::string out;
    out.reserve(in.size());
    size_t p = 0;
    while (p + 1 < in.size()) {
        if (in[p] == '&') {
            const auto hit = std::find_if(std::begin(kEntities), std::end(kEntities),
                                          [&](const Entity& e) { return in.substr(p, e.text.size()) == e.text; });
            if (hit != std::end(kEntities)) {
                out += hit->value;
                p += hit->text.size();
                continue;
            }
        }
        out += in[p++];
    }
    out.append(in.substr(p));
    s = std::move(out);
}

std::string PagerMessageExtraction::CheckForTranslation(const std::string& pager, bool* failed)
{
    if (failed)
        *failed = false;
    if (!db_.EnsureSQLDatabase()) {
        if (failed)
            *failed = true;
        return kNull;
    }
    try {
        db::Recordset rs = db_.OpenRecordset("SELECT DISTINCT * FROM HXSSirenSites WHERE ([PAGER_ID] = ?)",
                                             {db::qs(pager)});
        std::string result = rs.next() ? rs.text("MESS_ID") : std::string(kNull);
        rs.close();
        return result;
    } catch (const db::DatabaseFault& f) {
        db_.ReportDatabaseError(" CFT: Unable to access siren sites database error is ", f);
        if (failed)
            *failed = true;
        return kNull;
    }
}

void PagerMessageExtraction::cleanField(std::string& value, const char* field, std::size_t limit)
{
    if (value.size() > limit)
        value.resize(limit);
    bool replaced = false;
    for (char& c : value) {
        if (c == '|' || c == '\0' || c == '\x01') {
            c = ' ';
            replaced = true;
        }
    }
    if (replaced)
        log(logTick_() + "\tXML: Replaced separator or control characters in " + field);
}

MailOutcome PagerMessageExtraction::ParsePagerMessage(int, SMTPSocketType& record)
{
    std::string_view c = record.Body;
    if (record.Base64Mode) {
        c = record.Decoded;
        record.Base64Mode = false;
    }
    std::string joined;
    if (record.QPMode) {
        record.QPMode = false;
        joined = JoinSoftLineBreaks(record.Body);
        c = joined;
    }

    MailPagerPin = GetTagValue(c, "PagerPin");
    MailMessageHash = GetTagValue(c, "MessageHash");
    MailMessage = GetTagValue(c, "Message");
    DecodeXmlEntities(MailMessage);
    // A mail without a readable time or flag must not carry the last mail's.
    MailTimeRequested = DateSerial::parse(GetTagValue(c, "TimeRequested")).value_or(clock_.now());
    MailMachineName = GetTagValue(c, "MachineName");
    MailInterfaceAddress = GetTagValue(c, "InterfaceAddress");
    MailIsDispatch = toBoolean(GetTagValue(c, "IsDispatchMessage")).value_or(false);

    cleanField(MailPagerPin, "PagerPin", kMaxFieldLength);
    cleanField(MailMessageHash, "MessageHash", kMaxFieldLength);
    // Message creation cuts the text itself.
    cleanField(MailMessage, "Message", std::string::npos);
    cleanField(MailMachineName, "MachineName", kMaxFieldLength);
    cleanField(MailInterfaceAddress, "InterfaceAddress", kMaxFieldLength);

    if (MailIsDispatch) {
        log("\tXML: Dispatch flag is True");
    } else {
        log("\tXML: Dispatch flag is False");
        bool failed = false;
        std::string swapped = CheckForTranslation(MailPagerPin, &failed);
        if (failed) {
            // The number may be a siren's: paging it unswapped could reach the wrong one.
            log(logTick_() + "\tXML: Siren table cannot be read, message not processed");
            return MailOutcome::TryLater;
        }
        if (swapped != kNull) {
            cleanField(swapped, "PagerPin", kMaxFieldLength);
            MailPagerPin = std::move(swapped);
            log("\tXML: Siren table match: Pager number swapped to " + MailPagerPin);
        }
    }

    log("\tXML:  Pager Number:      \t" + MailPagerPin);
    log("\tXML:  Message Hash:      \t" + MailMessageHash);
    log("\tXML:  Pager Message:      \t" + MailMessage);
    log("\tXML:  Time Requsted:      \t" + MailTimeRequested.generalDate());
    log("\tXML:  Client Machine:      \t" + MailMachineName);
    log("\tXML:  Interface Address:      \t" + MailInterfaceAddress);

    if (MailPagerPin == kNull) {
        log(logTick_() + "\tXML:  Bad Pager Number message not processed");
        return MailOutcome::NoPagerNumber;
    }
    if (MailMessage == kNull)
        MailMessage.clear();

    const MailOutcome taken = send_ ? send_(MailMessage, MailPagerPin, MailMessageHash, MailTimeRequested,
                                            MailMachineName, MailInterfaceAddress)
                                    : MailOutcome::QueueFull;
    if (taken == MailOutcome::LinkBusy) {
        log(logTick_() + "\tXML: Link buffer full, message not processed");
        return taken;
    }
    if (taken == MailOutcome::NoMessageId) {
        log(logTick_() + "\tXML: No message id available, message not processed");
        return taken;
    }
    if (taken != MailOutcome::Queued) {
        log(logTick_() + "\tXML: Queue full, message not processed");
        return MailOutcome::QueueFull;
    }
    log(logTick_() + "\tXML: Mail Processed OK");
    return MailOutcome::Queued;
}

}  // namespace smtpin
