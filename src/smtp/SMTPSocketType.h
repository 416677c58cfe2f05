#pragma once

#include "platform/DateSerial.h"

#include <cstddef>
#include <string>

namespace smtpin {

// State of one session socket (record 0 belongs to the listening socket).
struct SMTPSocketType {
    std::string RemoteIP;
    std::string RemotePort;
    bool CanSend = true;
    DateSerial Deadline;      // closed when no data came since TCPTIMEOUT
    DateSerial SessionEnd;    // closed however busy: SESSION_MAX after accept
    int LastState = 0;
    std::string SendQueue;
    bool DataMode = false;
    std::string Pending;
    std::string Received;
    std::string Command;
    std::string Argument;
    std::string Body;
    bool Base64Mode = false;
    std::string Decoded;
    bool QPMode = false;

    // Where "</PagerMessage>" first stands in Body and Decoded (npos: not yet),
    // kept as lines arrive so the search never rescans a whole mail.
    size_t BodyTagPos = std::string::npos;
    size_t DecodedTagPos = std::string::npos;
    // Discarding an unterminated line that outgrew its bound.
    bool LineOverflow = false;
    bool OverflowEndsCr = false;   // the last discarded byte was a CR
    // Discarding the rest of a mail that outgrew its bound, up to ".".
    bool MailOverflow = false;
    // The mail already ended at its closing tag; its remaining lines up to
    // "." are swallowed, so each DATA gets exactly one reply.
    bool AfterData = false;
    // The line before ended with CR LF: only then can "." end the data.
    bool LastLineCrLf = true;
    // Still in the mail's header lines, where the closing tag ends nothing.
    bool InHeader = false;
    // Where the mail's body starts in Body.
    size_t BodyStart = 0;
    // QUIT came inside a mail's data: nothing after it is read.
    bool Quit = false;
};

// What became of a finished mail; decides the reply to the end of data.
enum class MailOutcome {
    Queued,          // handed to the switch
    NoPagerNumber,   // nothing to page
    QueueFull,       // try again later
    LinkBusy,        // the switch link holds all the pages it may: try again later
    TryLater,        // the siren table could not be read: try again later
    NoMessageId,     // no message id can be had now: try again later
    BadField,        // a field holds markup: never
};

// Turns a finished mail into a pager message.
class PagerMessageParser {
public:
    virtual ~PagerMessageParser() = default;
    virtual MailOutcome ParsePagerMessage(int index, SMTPSocketType& record) = 0;
};

}  // namespace smtpin
