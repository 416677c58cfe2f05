#pragma once

#include "platform/DateSerial.h"
#include "platform/PageRequest.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace smtpin {

// Where a session stands; what a line means depends on it alone.
enum class SessionPhase {
    Greeting,        // accepted, not yet greeted
    Command,         // every line is a command and gets one reply
    Data,            // after 354: lines are the mail, up to its end
    AfterEarlyEnd,   // the mail ended at its closing tag: the rest up to "." is counted and dropped
    Overflow,        // the mail outgrew its bound: the rest up to "." is dropped, then 552
    Handshake,       // after STARTTLS's 220: nothing is read until TLS is up
    Closing,         // the last reply is out; nothing more is read
};

// State of one session socket (record 0 belongs to the listening socket).
struct SMTPSocketType {
    std::string RemoteIP;
    std::string RemotePort;
    bool CanSend = true;
    DateSerial Deadline;      // closed when no complete line came since TCPTIMEOUT
    DateSerial SessionEnd;    // closed however busy: SESSION_MAX after accept
    DateSerial LastLine;      // the last complete line, or the accept
    int LastState = 0;
    std::string SendQueue;
    SessionPhase Phase = SessionPhase::Greeting;
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
    // The line before ended with CR LF: only then can "." end the data.
    bool LastLineCrLf = true;
    // DATA came with a bare LF: so do all this client's lines, "." included.
    bool BareLfData = false;
    // Still in the mail's header lines, where the closing tag ends nothing.
    bool InHeader = false;
    // Where the mail's body starts in Body.
    size_t BodyStart = 0;
    // MAIL was answered and the mail's DATA has not ended: never evicted.
    bool MailGiven = false;
    // EHLO came (not HELO): replies carry enhanced status codes.
    bool Esmtp = false;
    // Replies 500, 501 and 502 so far; too many close the session.
    int Errors = 0;
    // Bytes dropped after the mail's early end, told at its ".".
    std::uint64_t Discarded = 0;
    // The mail's page waits for its commit: no further line is handled
    // until its reply is out, and the session is never closed as idle.
    bool AwaitingCommit = false;
    // This connection among all the listener took: an answer that comes
    // after its sender left must not reach the next one on the socket.
    std::uint64_t Serial = 0;

    bool inMail() const { return Phase == SessionPhase::Data || Phase == SessionPhase::AfterEarlyEnd ||
                                 Phase == SessionPhase::Overflow; }
};

// Turns a finished mail into a pager message.
class PagerMessageParser {
public:
    // The outcome of a mail answered Pending, once its commit is done.
    using Done = PageSink::Done;
    virtual ~PagerMessageParser() = default;
    virtual PageOutcome ParsePagerMessage(int index, SMTPSocketType& record, Done done) = 0;
};

}  // namespace smtpin
