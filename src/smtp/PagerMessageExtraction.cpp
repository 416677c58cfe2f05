#include "smtp/PagerMessageExtraction.h"

#include "db/CatalogueConnection.h"
#include "log/SystemLog.h"
#include "platform/Text.h"
#include "smtp/FieldText.h"
#include "smtp/MailContent.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <optional>
#include <utility>

namespace smtpin {
namespace {

constexpr const char* kNull = "NULL";

}  // namespace

PagerMessageExtraction::PagerMessageExtraction(const Clock& clock, SystemLog& log, db::CatalogueConnection& db,
                                               std::function<std::string()> logTick, PageSink& sink)
    : clock_(clock), log_(log), db_(db), logTick_(std::move(logTick)), sink_(sink)
{
}

void PagerMessageExtraction::log(const std::string& text) { log_.UpdateSMTPLog(text); }

std::pair<std::size_t, std::size_t> PagerMessageExtraction::FindElement(std::string_view text, std::string_view name)
{
    const std::string start = "<" + std::string(name) + ">";
    const std::string end = "</" + std::string(name) + ">";
    const size_t i = text.find(start);
    if (i == std::string_view::npos)
        return {std::string::npos, 0};
    const size_t j = text.find(end, i);
    if (j == std::string_view::npos || j <= i + start.size())
        return {std::string::npos, 0};
    return {i + start.size(), j - i - start.size()};
}

std::string PagerMessageExtraction::GetTagValue(std::string_view text, std::string_view name)
{
    // A later start tag cannot have an end tag after it when the first has none.
    const auto [from, length] = FindElement(text, name);
    return from == std::string::npos ? std::string(kNull) : std::string(text.substr(from, length));
}

std::string PagerMessageExtraction::CheckForTranslation(const std::string& pager, bool* failed)
{
    const auto swapped = db_.guarded({" CFT: Unable to access siren sites database error is ", nullptr, false}, [&] {
        db::Recordset rs =
            db_.OpenRecordset("SELECT DISTINCT * FROM HXSSirenSites WHERE ([PAGER_ID] = ?)", {db::qs(pager)});
        return rs.next() ? rs.text("MESS_ID") : std::string(kNull);
    });
    if (failed)
        *failed = !swapped;
    return swapped.value_or(kNull);
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

// Each element as the pager gets it, and what made the mail unusable.
struct PagerMessageExtraction::Fields {
    std::string pin;
    std::string hash;
    std::string message;
    DateSerial requested;
    std::string machine;
    std::string address;
    bool dispatch = false;
    std::string markup;   // the first field holding a nested tag
    bool badPin = false;  // a pager number with a blank, separator, control or non-ASCII character
    int replaced = 0;     // characters the switch's code page lacks
};

void PagerMessageExtraction::readFields(std::string_view mailText, Fields& fields)
{
    // Tags are looked for in the page's own element, never inside a CDATA
    // section or a comment; the values come from the text itself.
    const std::string_view scope = PagerMessageScope(mailText);
    const std::string masked = MaskUnparsed(scope);
    auto field = [&](const char* name) -> std::string {
        const auto [from, length] = FindElement(masked, name);
        const std::string raw = from == std::string::npos ? std::string(kNull) : std::string(scope.substr(from, length));
        if (raw == kNull)
            return kNull;
        const std::optional<std::string> clean = CleanFieldValue(raw);
        if (!clean) {
            if (fields.markup.empty())
                fields.markup = name;
            return kNull;
        }
        if (clean->empty())
            return kNull;
        if (name == std::string_view("PagerPin") && !IsPagerNumber(*clean)) {
            fields.badPin = true;
            return *clean;
        }
        Converted out = codePage_.FromUtf8(*clean);
        fields.replaced += out.replaced;
        return std::move(out.text);
    };
    fields.pin = field("PagerPin");
    fields.hash = field("MessageHash");
    fields.message = field("Message");
    // A mail without a readable time or flag must not carry the last mail's.
    fields.requested = DateSerial::parse(field("TimeRequested")).value_or(clock_.now());
    fields.machine = field("MachineName");
    fields.address = field("InterfaceAddress");
    fields.dispatch = text::ToBool(field("IsDispatchMessage")).value_or(false);

    cleanField(fields.pin, "PagerPin", kMaxFieldLength);
    cleanField(fields.hash, "MessageHash", kMaxFieldLength);
    // Message creation cuts the text itself.
    cleanField(fields.message, "Message", std::string::npos);
    cleanField(fields.machine, "MachineName", kMaxFieldLength);
    cleanField(fields.address, "InterfaceAddress", kMaxFieldLength);
}

void PagerMessageExtraction::logDecoding(const PagerText& found)
{
    if (found.undeclaredUtf8)
        log(logTick_() + "\tXML: No charset declared; the 8-bit text is UTF-8 and read so");
    if (found.unknownCharset)
        log(logTick_() + "\tXML: Unknown charset " + found.charset + ", text read as " + codePage_.name());
    if (found.unreadable > 0)
        log(logTick_() + "\tXML: " + std::to_string(found.unreadable) + " bytes not readable as " +
            (found.charset.empty() || found.unknownCharset ? codePage_.name() : found.charset) + ", read as ?");
}

PageOutcome PagerMessageExtraction::ParsePagerMessage(int, SMTPSocketType& record, Done done)
{
    // The session's own decoding only finds the early end; the mail is read whole here.
    record.Base64Mode = false;
    record.QPMode = false;
    const PagerText found = FindPagerText(record.Body, codePage_);
    logDecoding(found);
    Fields fields;
    readFields(found.text, fields);
    const bool refused = !fields.markup.empty() || fields.badPin;

    if (fields.dispatch) {
        log("\tXML: Dispatch flag is True");
    } else {
        log("\tXML: Dispatch flag is False");
        bool failed = false;
        std::string swapped = refused ? std::string(kNull) : CheckForTranslation(fields.pin, &failed);
        if (failed) {
            // The number may be a siren's: paging it unswapped could reach the wrong one.
            log(logTick_() + "\tXML: Siren table cannot be read, message not processed");
            return PageOutcome::TryLater;
        }
        if (swapped != kNull) {
            cleanField(swapped, "PagerPin", kMaxFieldLength);
            fields.pin = std::move(swapped);
            log("\tXML: Siren table match: Pager number swapped to " + fields.pin);
        }
    }

    log("\tXML:  Pager Number:      \t" + fields.pin);
    log("\tXML:  Message Hash:      \t" + fields.hash);
    log("\tXML:  Pager Message:      \t" + fields.message);
    log("\tXML:  Time Requsted:      \t" + fields.requested.generalDate());
    log("\tXML:  Client Machine:      \t" + fields.machine);
    log("\tXML:  Interface Address:      \t" + fields.address);
    if (fields.replaced > 0)
        log("\tXML:  " + std::to_string(fields.replaced) + " characters not in " + codePage_.name() + " sent as ?");

    if (refused)
        return refuse(fields);
    if (fields.pin == kNull) {
        log(logTick_() + "\tXML:  Bad Pager Number message not processed");
        return PageOutcome::NoPagerNumber;
    }
    if (fields.message == kNull)
        fields.message.clear();
    return hand(fields, std::move(done));
}

PageOutcome PagerMessageExtraction::refuse(const Fields& fields)
{
    if (!fields.markup.empty()) {
        log(logTick_() + "\tXML: Markup in field " + fields.markup + ", message not processed");
        return PageOutcome::BadField;
    }
    log(logTick_() + "\tXML: Blank, separator, control or non-ASCII character inside field PagerPin, message not "
                     "processed");
    return PageOutcome::NoPagerNumber;
}

PageOutcome PagerMessageExtraction::hand(Fields& fields, Done done)
{
    PageRequest page{std::move(fields.message), fields.pin, fields.hash, fields.requested, fields.machine,
                     fields.address};
    const PageOutcome taken = sink_.Submit(page, [this, done = std::move(done)](PageOutcome late) {
        const PageOutcome outcome = tell(late);
        if (done)
            done(outcome);
    });
    return taken == PageOutcome::Pending ? taken : tell(taken);
}

PageOutcome PagerMessageExtraction::tell(PageOutcome taken)
{
    switch (taken) {
    case PageOutcome::Queued: log(logTick_() + "\tXML: Mail Processed OK"); return taken;
    case PageOutcome::LinkBusy: log(logTick_() + "\tXML: Link buffer full, message not processed"); return taken;
    case PageOutcome::NoMessageId: log(logTick_() + "\tXML: No message id available, message not processed"); return taken;
    case PageOutcome::CannotStore: log(logTick_() + "\tXML: Page not stored, message not processed"); return taken;
    default: break;
    }
    // A full spool is told as a full queue: the sender's answer is the same.
    log(logTick_() + "\tXML: Queue full, message not processed");
    return PageOutcome::QueueFull;
}

}  // namespace smtpin
