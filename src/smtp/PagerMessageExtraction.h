#pragma once

#include "platform/Clock.h"
#include "platform/DateSerial.h"
#include "platform/PageRequest.h"
#include "smtp/CodePage.h"
#include "smtp/SMTPSocketType.h"

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

namespace smtpin {

class SystemLog;
struct PagerText;
namespace db { class CatalogueConnection; }

// Reads the pager message out of a finished mail (the gSMTPServer module):
// the part holding it found and decoded, the seven elements found by plain
// tag search and cleaned, the text put in the switch's code page, the pager
// number possibly swapped through the siren-sites table, then handed to
// message creation.
class PagerMessageExtraction final : public PagerMessageParser {
public:
    // Longest pager number, hash, machine name and interface address passed on.
    static constexpr std::size_t kMaxFieldLength = 255;

    // logTick gives the listener's "[n]"; sink takes the page (message creation).
    PagerMessageExtraction(const Clock& clock, SystemLog& log, db::CatalogueConnection& db,
                           std::function<std::string()> logTick, PageSink& sink);

    PageOutcome ParsePagerMessage(int index, SMTPSocketType& record, Done done) override;

    // Text between the first start tag that has an end tag after it, or "NULL".
    static std::string GetTagValue(std::string_view text, std::string_view name);
    // Where that value stands: its start and length, or npos.
    static std::pair<std::size_t, std::size_t> FindElement(std::string_view text, std::string_view name);
    // The code page of the text that goes to the switch.
    void SetSwitchCodePage(CodePage codePage) { codePage_ = std::move(codePage); }
    const CodePage& switchCodePage() const { return codePage_; }

    // The siren site's number for a pager, or "NULL"; failed tells a lookup
    // that could not be made from a pager that is no siren.
    std::string CheckForTranslation(const std::string& pager, bool* failed = nullptr);


private:
    struct Fields;
    void log(const std::string& text);
    void readFields(std::string_view mailText, Fields& fields);
    void logDecoding(const PagerText& found);
    PageOutcome refuse(const Fields& fields);
    PageOutcome hand(Fields& fields, Done done);
    // The log line of what became of the page; the outcome as the session takes it.
    PageOutcome tell(PageOutcome taken);
    // Keeps a field from breaking the record text or the hub stream.
    void cleanField(std::string& value, const char* field, std::size_t limit);

    const Clock& clock_;
    SystemLog& log_;
    db::CatalogueConnection& db_;
    std::function<std::string()> logTick_;
    PageSink& sink_;
    CodePage codePage_;
};

}  // namespace smtpin
