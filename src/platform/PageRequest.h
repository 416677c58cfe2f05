#pragma once

#include "platform/DateSerial.h"

#include <functional>
#include <string>

namespace smtpin {

// One page as a mail or a test button asks for it.
struct PageRequest {
    std::string message;   // cut to 160 characters when it is taken
    std::string pagerNumber;
    std::string hash;
    DateSerial requested;
    std::string machine;
    std::string interfaceAddress;
};

// What became of a page, from the mail's fields to the switch; decides the
// reply to the mail's end of data.
enum class PageOutcome {
    Queued,          // on disk and handed to the switch, tracked until it deletes it
    Pending,         // waits for the spool's next commit; the outcome comes then
    NoPagerNumber,   // nothing to page
    BadField,        // a field holds markup: never
    QueueFull,       // no free slot: try again later
    SpoolFull,       // the spool holds SPOOL_MAX pages: try again later
    CannotStore,     // the spool could not write it: try again later
    LinkBusy,        // the switch link holds all the pages it may: try again later
    TryLater,        // the siren table could not be read: try again later
    NoMessageId,     // no message id can be had now: try again later
};

// Where a page is made into a message and kept: message creation.
class PageSink {
public:
    // The final outcome of a page answered Pending, once its commit is done.
    using Done = std::function<void(PageOutcome)>;
    virtual ~PageSink() = default;
    // Pending (done is called after the page's commit), or a refusal now
    // (done is never called). The page's text may be cut.
    virtual PageOutcome Submit(PageRequest& page, Done done) = 0;
};

}  // namespace smtpin
