#include "smtp/SmtpSession.h"

#include "platform/Controls.h"
#include "platform/Text.h"
#include "smtp/Base64.h"
#include "smtp/MailContent.h"

#include <algorithm>
#include <iterator>

namespace smtpin {
namespace {

constexpr std::string_view kClosingTag = "</PagerMessage>";
const char* const kGreeting = "220 VORN_SMTP_Server Simple Mail Transfer Service Ready";

// Keeps the first place of the closing tag at or after floor up to date
// after text grew from oldSize; the tag may straddle the old end.
void trackTag(const std::string& grown, size_t oldSize, size_t floor, size_t& pos)
{
    if (pos != std::string::npos)
        return;
    const size_t from = oldSize >= kClosingTag.size() ? oldSize - kClosingTag.size() + 1 : 0;
    pos = text::FindNoCase(grown, kClosingTag, std::max(from, floor));
}

// "Content-Transfer-Encoding: <encoding>", names and values in any letter case.
bool isEncodingHeader(const std::string& line, std::string_view encoding)
{
    static constexpr std::string_view kName = "content-transfer-encoding:";
    const std::string_view l(line);
    return l.size() >= kName.size() && text::EqualsNoCase(l.substr(0, kName.size()), kName) &&
           text::EqualsNoCase(text::Trim(l.substr(kName.size()), " \t\r"), encoding);
}

}  // namespace

SmtpSession::SmtpSession(int index, SMTPSocketType& record, SessionPort& port, Label& lbPETTicker,
                         PagerMessageParser& parser)
    : index_(index), rec_(record), port_(port), lbPETTicker_(lbPETTicker), parser_(parser)
{
}

void SmtpSession::Reset()
{
    // The listener's walk keeps its own view of the socket's state.
    const int lastState = rec_.LastState;
    rec_ = SMTPSocketType{};
    rec_.LastState = lastState;
}

void SmtpSession::Greet()
{
    SendReply(kGreeting);
    rec_.Phase = SessionPhase::Command;
}

void SmtpSession::SendReply(const std::string& text) { port_.SendDataSocket(index_, text + "\r\n"); }

void SmtpSession::caption(const std::string& text) { lbPETTicker_.setCaption(text); }

bool SmtpSession::GetNextCommand()
{
    SMTPSocketType& rec = rec_;
    std::string text;
    if (rec.Pending.empty())
        text.swap(rec.Received);
    else
        text = std::move(rec.Pending) + rec.Received;
    std::string().swap(rec.Received);
    std::string().swap(rec.Pending);

    // A line ends at LF, with or without CR before it; a bare CR is data.
    bool progress = false;
    size_t pos = 0;
    while (pos < text.size() && rec.Phase != SessionPhase::Closing) {
        const size_t k = text.find('\n', pos);
        if (k == std::string::npos)
            break;
        progress = true;
        const bool crlf = k > pos ? text[k - 1] == '\r' : rec.LineOverflow && rec.OverflowEndsCr;
        const size_t start = pos;
        const size_t length = k - pos - (crlf && k > pos ? 1 : 0);
        pos = k + 1;
        if (rec.LineOverflow) {
            // The end of a line too long to keep.
            rec.LineOverflow = false;
            rec.LastLineCrLf = crlf;
            discardLongLine(k + 1 - start);
            overlongLineEnded();
            continue;
        }
        if (length > kMaxLine) {
            rec.LastLineCrLf = crlf;
            discardLongLine(k + 1 - start);
            overlongLineEnded();
        } else {
            acceptLine(text.substr(start, length), crlf);
        }
    }
    if (rec.Phase == SessionPhase::Closing)
        return progress;
    if (rec.LineOverflow) {
        if (pos < text.size()) {
            discardLongLine(text.size() - pos);
            rec.OverflowEndsCr = text.back() == '\r';
        }
        return progress;
    }
    if (text.size() - pos > kMaxLine) {
        rec.LineOverflow = true;
        discardLongLine(text.size() - pos);
        rec.OverflowEndsCr = text.back() == '\r';
        return progress;
    }
    rec.Pending = text.substr(pos);
    return progress;
}

void SmtpSession::discardLongLine(size_t bytes)
{
    if (rec_.Phase == SessionPhase::AfterEarlyEnd)
        rec_.Discarded += bytes;
}

void SmtpSession::overlongLineEnded()
{
    switch (rec_.Phase) {
    case SessionPhase::Data: startMailOverflow(); return;
    case SessionPhase::Command: break;
    default: return;
    }
    port_.count(500);
    const std::string reply = "500 VORN_SMTP_Server Line too long";
    port_.log(port_.tick() + "CMD:  " + reply);
    refuse(reply, "Command: UNKNOWN Reply: 500 BAD", false);
}

void SmtpSession::appendBody(SMTPSocketType& rec, const std::string& line)
{
    const size_t old = rec.Body.size();
    rec.Body += line;
    rec.Body += "\r\n";
    // A closing tag in a header line ends nothing.
    if (!rec.InHeader)
        trackTag(rec.Body, old, rec.BodyStart, rec.BodyTagPos);
}

void SmtpSession::acceptLine(const std::string& raw, bool crlf)
{
    SMTPSocketType& rec = rec_;
    // Only "." alone between two CR LF ends the data, so text a relay
    // passes on as data can never end it early. A client that sent DATA
    // itself with a bare LF ends its lines so throughout.
    const bool terminator = raw == "." && (rec.BareLfData || (crlf && rec.LastLineCrLf));
    rec.LastLineCrLf = crlf;
    switch (rec.Phase) {
    case SessionPhase::Command: commandLine(raw); return;
    case SessionPhase::Data: dataLine(raw, terminator); return;
    case SessionPhase::AfterEarlyEnd: afterEarlyEndLine(raw.size() + (crlf ? 2 : 1), terminator); return;
    case SessionPhase::Overflow: overflowLine(terminator); return;
    case SessionPhase::Greeting:
    case SessionPhase::Closing: return;
    }
}

namespace {

constexpr unsigned kInCommand = 1u << static_cast<unsigned>(SessionPhase::Command);

}  // namespace

// Every word this server knows. SMTP words it does not carry out get 502;
// any other word is no command at all (500).
const SmtpSession::Entry SmtpSession::kCommands[] = {
    {"HELO", kInCommand, &SmtpSession::hello},
    {"EHLO", kInCommand, &SmtpSession::hello},
    {"MAIL", kInCommand, &SmtpSession::mail},
    {"RCPT", kInCommand, &SmtpSession::rcpt},
    {"DATA", kInCommand, &SmtpSession::data},
    {"QUIT", kInCommand, &SmtpSession::quit},
    {"RSET", kInCommand, &SmtpSession::rset},
    {"NOOP", kInCommand, &SmtpSession::noop},
    {"VRFY", kInCommand, &SmtpSession::vrfy},
    {"HELP", kInCommand, &SmtpSession::notImplemented},
    {"EXPN", kInCommand, &SmtpSession::notImplemented},
    {"TURN", kInCommand, &SmtpSession::notImplemented},
    {"ETRN", kInCommand, &SmtpSession::notImplemented},
    {"BDAT", kInCommand, &SmtpSession::notImplemented},
    {"AUTH", kInCommand, &SmtpSession::notImplemented},
    {"STARTTLS", kInCommand, &SmtpSession::notImplemented},
};

void SmtpSession::commandLine(const std::string& line)
{
    SMTPSocketType& rec = rec_;
    // The word is whole: up to the first space, or the whole line.
    const size_t space = line.find(' ');
    const std::string_view word = std::string_view(line).substr(0, space);
    rec.Command = word.size() <= kLongestWord ? text::Upper(std::string(word)) : std::string();
    rec.Argument = space == std::string::npos ? std::string() : line.substr(space + 1);
    const auto* e = std::find_if(std::begin(kCommands), std::end(kCommands),
                                 [&](const Entry& c) { return c.word == rec.Command; });
    const bool taken = e != std::end(kCommands) && (e->phases & (1u << static_cast<unsigned>(rec.Phase))) != 0;
    if (taken)
        (this->*e->run)();
    else
        refuse("500 VORN_SMTP_Server Syntax error, command unrecognized", "Command: UNKNOWN Reply: 500 BAD", true);
    std::string().swap(rec.Body);
    rec.BodyTagPos = std::string::npos;
    rec.BodyStart = 0;
}

void SmtpSession::refuse(const std::string& reply, const std::string& captionText, bool logReply)
{
    SendReply(reply);
    if (logReply)
        port_.log(reply);
    caption(captionText);
    if (++rec_.Errors < kMaxErrors)
        return;
    port_.count(421);
    port_.log("soc[" + std::to_string(index_) + "] SMTP: " + std::to_string(rec_.Errors) +
              " errors from " + rec_.RemoteIP + ", session closed");
    closeWith("421 VORN_SMTP_Server Too many errors");
}

void SmtpSession::closeWith(const std::string& reply)
{
    SendReply(reply);
    rec_.Phase = SessionPhase::Closing;
    port_.ClosePort(index_);
}

void SmtpSession::Evict()
{
    port_.count(421);
    port_.log(port_.tick() + "SYS: Session on email socket[" + std::to_string(index_) + "] from " + rec_.RemoteIP +
              " idle longest, closed to make room");
    closeWith("421 VORN_SMTP_Server Idle too long, closing");
}

void SmtpSession::mail()
{
    SendReply("250 OK");
    port_.log(port_.tick() + "CMD:  MAIL " + rec_.Argument);
    caption("Command: MAIL Reply: OK");
}

void SmtpSession::hello()
{
    endMail();
    SendReply("250 VORN_SMTP_Server");
    port_.log(port_.tick() + "CMD:  " + rec_.Command + " " + rec_.Argument);
    caption("Command: HELLO Reply: OK");
}

void SmtpSession::rcpt()
{
    const std::string& a = rec_.Argument;
    if (text::Upper(a.substr(0, 3)) != "TO:") {
        refuse("501 VORN_SMTP_Server Syntax error in parameters or arguments", "Command: RCPT Reply: SYNTAX ERROR",
               false);
        return;
    }
    port_.log(port_.tick() + "CMD:  RCPT TO: " + a.substr(3));
    SendReply("250 OK");
    caption("Command: RCPT Reply: OK");
}

void SmtpSession::data()
{
    endMail();
    rec_.BareLfData = !rec_.LastLineCrLf;
    rec_.Phase = SessionPhase::Data;
    rec_.InHeader = true;
    SendReply("354 OK");
    port_.log(port_.tick() + "CMD:  DATA:");
    caption("Command: DATA Reply: OK");
}

void SmtpSession::quit()
{
    port_.log(port_.tick() + "CMD:  QUIT:");
    caption("Command: QUIT Reply: OK");
    closeWith("221 VORN_SMTP_Server Service closing transmission channel");
}

void SmtpSession::rset()
{
    endMail();
    SendReply("250 OK");
    port_.log(port_.tick() + "CMD:  RSET");
    caption("Command: RSET Reply: OK");
}

void SmtpSession::noop()
{
    SendReply("250 OK");
    port_.log(port_.tick() + "CMD:  NOOP");
    caption("Command: NOOP Reply: OK");
}

void SmtpSession::vrfy()
{
    SendReply("252 VORN_SMTP_Server Cannot VRFY user");
    port_.log(port_.tick() + "CMD:  VRFY " + rec_.Argument);
    caption("Command: VRFY Reply: 252");
}

void SmtpSession::notImplemented()
{
    refuse("502 VORN_SMTP_Server [" + rec_.Command + "] Command not implemented", "Command: UNKNOWN Reply: 502 BAD",
           true);
}

void SmtpSession::trackHeader(SMTPSocketType& rec, const std::string& line)
{
    if (!rec.InHeader || IsHeaderLine(line))
        return;
    rec.InHeader = false;
    rec.BodyStart = rec.Body.size() + (line.empty() ? 2 : 0);
}

void SmtpSession::dataLine(const std::string& raw, bool terminator)
{
    SMTPSocketType& rec = rec_;
    const std::string soc = "soc[" + std::to_string(index_) + "]";
    // Senders double a leading dot; the pager must not see it twice.
    const std::string line = raw.size() > 1 && raw[0] == '.' ? raw.substr(1) : raw;
    if (!terminator) {
        if (rec.Body.size() + line.size() + 2 > kMaxMail) {
            startMailOverflow();
            return;
        }
        trackHeader(rec, line);
        appendBody(rec, line);
    }
    port_.log(soc + " CMD: [Data mode] " + line);
    if (!terminator) {
        streamDecoding(line);
        if (rec.Phase != SessionPhase::Data)
            return;
    }
    if (isEncodingHeader(line, "quoted-printable")) {
        port_.log(soc + " CONTENT: Quoted-Printable");
        rec.QPMode = true;
    }
    if (terminator) {
        endOfData(soc + " SMTP: END of DATA", false);
        return;
    }
    if (rec.BodyTagPos != std::string::npos && rec.BodyTagPos > 0)
        endOfData(soc + " CONTENT: END of DATA", true);
}

// Follows a base64 body as it arrives, so the mail can end at the closing
// tag in its decoded text.
void SmtpSession::streamDecoding(const std::string& line)
{
    SMTPSocketType& rec = rec_;
    const std::string soc = "soc[" + std::to_string(index_) + "]";
    if (rec.Base64Mode && line.starts_with("--")) {
        // A MIME boundary ends the encoded part.
        rec.Base64Mode = false;
    } else if (rec.Base64Mode) {
        const std::string decoded = Base64DecodeLine(line);
        if (rec.Decoded.size() + decoded.size() > kMaxMail) {
            startMailOverflow();
            return;
        }
        const size_t old = rec.Decoded.size();
        rec.Decoded += decoded;
        trackTag(rec.Decoded, old, 0, rec.DecodedTagPos);
        if (rec.DecodedTagPos != std::string::npos && rec.DecodedTagPos > 0)
            endOfData(soc + " CONTENT: base64 END of DATA", true);
        return;
    }
    if (isEncodingHeader(line, "base64")) {
        port_.log(soc + " CONTENT: BASE64");
        rec.Base64Mode = true;
        std::string().swap(rec.Decoded);
        rec.DecodedTagPos = std::string::npos;
    }
}

void SmtpSession::endOfData(const std::string& logText, bool early)
{
    port_.log(logText);
    processDend();
    endMail();
    // After the early end, everything up to "." is still this mail's data:
    // no line in it is ever read as a command.
    rec_.Phase = early ? SessionPhase::AfterEarlyEnd : SessionPhase::Command;
    rec_.Discarded = 0;
}

// The mail in progress is gone, and the memory it took with it.
void SmtpSession::endMail()
{
    SMTPSocketType& rec = rec_;
    std::string().swap(rec.Body);
    std::string().swap(rec.Decoded);
    rec.BodyTagPos = rec.DecodedTagPos = std::string::npos;
    rec.BodyStart = 0;
    rec.Base64Mode = rec.QPMode = rec.InHeader = false;
}

void SmtpSession::afterEarlyEndLine(size_t bytes, bool terminator)
{
    SMTPSocketType& rec = rec_;
    if (!terminator) {
        rec.Discarded += bytes;
        return;
    }
    if (rec.Discarded > 0)
        port_.log("soc[" + std::to_string(index_) + "] SMTP: " + std::to_string(rec.Discarded) +
                  " bytes after the end of the page discarded");
    rec.Discarded = 0;
    rec.Phase = SessionPhase::Command;
}

void SmtpSession::startMailOverflow()
{
    port_.log("soc[" + std::to_string(index_) + "] SMTP: Mail larger than " + std::to_string(kMaxMail) +
              " bytes, rest of mail discarded");
    endMail();
    rec_.Phase = SessionPhase::Overflow;
}

void SmtpSession::overflowLine(bool terminator)
{
    if (!terminator)
        return;
    rec_.Phase = SessionPhase::Command;
    port_.count(552);
    const std::string reply = "552 VORN_SMTP_Server Message size exceeds fixed maximum message size";
    SendReply(reply);
    port_.log(port_.tick() + "CMD:  " + reply);
    caption("Command: DATA Reply: 552 SIZE");
}

namespace {

// The reply to the end of a mail's data, by what became of the mail.
struct EndOfDataReply {
    MailOutcome outcome;
    int code;
    const char* reply;
};

constexpr EndOfDataReply kEndOfData[] = {
    {MailOutcome::Queued, 250, "250 OK"},
    {MailOutcome::NoPagerNumber, 554, "554 VORN_SMTP_Server No pager number, message not processed"},
    {MailOutcome::BadField, 554, "554 VORN_SMTP_Server Markup in a field, message not processed"},
    {MailOutcome::QueueFull, 451, "451 VORN_SMTP_Server Queue full, try again later"},
    {MailOutcome::LinkBusy, 451, "451 VORN_SMTP_Server Link buffer full, try again later"},
    {MailOutcome::TryLater, 451, "451 VORN_SMTP_Server Pager number cannot be checked, try again later"},
    {MailOutcome::NoMessageId, 451, "451 VORN_SMTP_Server No message number available, try again later"},
};

}  // namespace

void SmtpSession::processDend()
{
    const MailOutcome outcome = parser_.ParsePagerMessage(index_, rec_);
    const auto* r = std::find_if(std::begin(kEndOfData), std::end(kEndOfData),
                                 [&](const EndOfDataReply& e) { return e.outcome == outcome; });
    if (r == std::end(kEndOfData))
        r = &kEndOfData[3];   // an outcome without a reply of its own: try again later
    SendReply(r->reply);
    if (r->code == 250) {
        port_.count(250);
        caption("Command: DEND Reply: OK");
    } else {
        port_.count(r->code);
        caption(r->code == 554 ? "Command: DEND Reply: 554 NOT PROCESSED" : "Command: DEND Reply: 451 TRY LATER");
    }
}

}  // namespace smtpin
