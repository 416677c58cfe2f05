#include "smtp/SmtpSession.h"

#include "platform/Controls.h"
#include "platform/Text.h"
#include "smtp/Base64.h"
#include "smtp/MailContent.h"

#include <algorithm>
#include <iterator>
#include <utility>
#include <vector>

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

namespace {

// RFC 3463 codes by reply code, given after EHLO.
constexpr std::pair<std::string_view, std::string_view> kEnhanced[] = {
    {"250", "2.0.0"}, {"221", "2.0.0"}, {"252", "2.0.0"}, {"451", "4.3.0"}, {"421", "4.7.0"},
    {"500", "5.5.2"}, {"501", "5.5.4"}, {"502", "5.5.1"}, {"503", "5.5.1"}, {"530", "5.7.0"},
    {"552", "5.3.4"}, {"554", "5.6.0"}, {"555", "5.5.4"},
};

}  // namespace

void SmtpSession::SendReply(const std::string& text, std::string_view enhanced)
{
    if (!rec_.Esmtp || text.size() < 4 || text[3] != ' ') {
        port_.SendDataSocket(index_, text + "\r\n");
        return;
    }
    const std::string_view code = std::string_view(text).substr(0, 3);
    if (enhanced.empty())
        for (const auto& [c, e] : kEnhanced)
            if (c == code)
                enhanced = e;
    if (enhanced.empty()) {
        port_.SendDataSocket(index_, text + "\r\n");
        return;
    }
    port_.SendDataSocket(index_, std::string(code) + " " + std::string(enhanced) + text.substr(3) + "\r\n");
}

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
    while (pos < text.size() && rec.Phase != SessionPhase::Closing && rec.Phase != SessionPhase::Handshake &&
           !rec.AwaitingCommit) {
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
    keepRest(text, pos);
    return progress;
}

// What follows the last whole line: kept for the next read, or dropped as
// the start of a line too long to keep.
void SmtpSession::keepRest(const std::string& text, size_t pos)
{
    SMTPSocketType& rec = rec_;
    if (rec.Phase == SessionPhase::Closing || rec.Phase == SessionPhase::Handshake)
        return;
    if (rec.AwaitingCommit) {
        // Handled once the reply is out, in the order they came.
        rec.Pending = text.substr(pos);
        return;
    }
    if (rec.LineOverflow) {
        if (pos < text.size()) {
            discardLongLine(text.size() - pos);
            rec.OverflowEndsCr = text.back() == '\r';
        }
        return;
    }
    if (text.size() - pos > kMaxLine) {
        rec.LineOverflow = true;
        discardLongLine(text.size() - pos);
        rec.OverflowEndsCr = text.back() == '\r';
        return;
    }
    rec.Pending = text.substr(pos);
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
    case SessionPhase::Handshake:
    case SessionPhase::Closing: return;
    }
}

namespace {

constexpr unsigned kInCommand = 1u << static_cast<unsigned>(SessionPhase::Command);

}  // namespace

// Every word this server knows. SMTP words it does not carry out get 502;
// any other word is no command at all (500).
const SmtpSession::Entry SmtpSession::kCommands[] = {
    {"HELO", kInCommand, true, &SmtpSession::hello},
    {"EHLO", kInCommand, true, &SmtpSession::hello},
    {"MAIL", kInCommand, false, &SmtpSession::mail},
    {"RCPT", kInCommand, false, &SmtpSession::rcpt},
    {"DATA", kInCommand, false, &SmtpSession::data},
    {"QUIT", kInCommand, true, &SmtpSession::quit},
    {"RSET", kInCommand, true, &SmtpSession::rset},
    {"NOOP", kInCommand, true, &SmtpSession::noop},
    {"VRFY", kInCommand, false, &SmtpSession::vrfy},
    {"STARTTLS", kInCommand, true, &SmtpSession::starttls},
    {"HELP", kInCommand, false, &SmtpSession::notImplemented},
    {"EXPN", kInCommand, false, &SmtpSession::notImplemented},
    {"TURN", kInCommand, false, &SmtpSession::notImplemented},
    {"ETRN", kInCommand, false, &SmtpSession::notImplemented},
    {"BDAT", kInCommand, false, &SmtpSession::notImplemented},
    {"AUTH", kInCommand, false, &SmtpSession::notImplemented},
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
    if (taken && !e->beforeTls && port_.tls(index_).required) {
        SendReply("530 Must issue a STARTTLS command first");
        port_.log(port_.tick() + "CMD:  " + rec.Command + " refused: TLS required");
        caption("Command: " + rec.Command + " Reply: 530 TLS REQUIRED");
    } else if (taken)
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

// "FROM:<path> KEY=VALUE ...": the parameters relays send after EHLO.
std::string SmtpSession::mailParameterFault(const std::string& argument)
{
    if (!text::Upper(argument.substr(0, 5)).starts_with("FROM:"))
        return {};
    std::string_view rest = text::Trim(std::string_view(argument).substr(5), " ");
    const size_t pathEnd = rest.starts_with("<") ? rest.find('>') : rest.find(' ');
    if (pathEnd == std::string_view::npos)
        return {};
    rest = rest.substr(pathEnd + 1);
    while (!(rest = text::Trim(rest, " ")).empty()) {
        const std::string_view param = rest.substr(0, rest.find(' '));
        rest = rest.substr(param.size());
        const size_t eq = param.find('=');
        const std::string key = text::Upper(std::string(param.substr(0, eq)));
        const std::string value = eq == std::string_view::npos ? std::string() : text::Upper(std::string(param.substr(eq + 1)));
        if (key == "SIZE") {
            const bool digits = !value.empty() && value.size() <= 20 &&
                                std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
            if (!digits)
                return "501 VORN_SMTP_Server Syntax error in parameters or arguments";
            // Up to 20 digits: compared as text once the leading zeros are gone.
            const std::string_view n = std::string_view(value).substr(std::min(value.find_first_not_of('0'), value.size()));
            if (n.size() > 7 || (!n.empty() && std::stoul(std::string(n)) > kMaxMail))
                return "552 VORN_SMTP_Server Message size exceeds fixed maximum message size";
        } else if (key != "BODY" || (value != "8BITMIME" && value != "7BIT")) {
            return "555 VORN_SMTP_Server MAIL FROM/RCPT TO parameters not recognized or not implemented";
        }
    }
    return {};
}

void SmtpSession::mail()
{
    if (const std::string fault = mailParameterFault(rec_.Argument); !fault.empty()) {
        port_.log(port_.tick() + "CMD:  MAIL " + rec_.Argument);
        port_.log(fault);
        if (fault.starts_with("501"))
            refuse(fault, "Command: MAIL Reply: SYNTAX ERROR", false);
        else
            SendReply(fault), caption("Command: MAIL Reply: " + fault.substr(0, 3));
        return;
    }
    rec_.MailGiven = true;
    SendReply("250 OK", "2.1.0");
    port_.log(port_.tick() + "CMD:  MAIL " + rec_.Argument);
    caption("Command: MAIL Reply: OK");
}

void SmtpSession::hello()
{
    endMail();
    rec_.Esmtp = rec_.Command == "EHLO";
    if (rec_.Esmtp) {
        std::vector<std::string> words = {"VORN_SMTP_Server", "PIPELINING", "SIZE " + std::to_string(kMaxMail),
                                          "8BITMIME", "ENHANCEDSTATUSCODES"};
        if (port_.tls(index_).offered)
            words.emplace_back("STARTTLS");
        // One write: a pipelining client reads the whole list at once.
        std::string lines;
        for (size_t i = 0; i < words.size(); ++i)
            lines += (i + 1 < words.size() ? "250-" : "250 ") + words[i] + "\r\n";
        port_.SendDataSocket(index_, lines);
    } else {
        SendReply("250 VORN_SMTP_Server");
    }
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
    SendReply("250 OK", "2.1.5");
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

void SmtpSession::starttls()
{
    const SessionPort::Tls tls = port_.tls(index_);
    if (tls.active) {
        SendReply("503 VORN_SMTP_Server TLS already active");
        caption("Command: STARTTLS Reply: 503 BAD SEQUENCE");
        return;
    }
    if (!tls.offered) {
        notImplemented();
        return;
    }
    if (!rec_.Argument.empty()) {
        refuse("501 VORN_SMTP_Server Syntax error in parameters or arguments", "Command: STARTTLS Reply: SYNTAX ERROR",
               false);
        return;
    }
    SendReply("220 VORN_SMTP_Server Ready to start TLS", "2.0.0");
    port_.log(port_.tick() + "CMD:  STARTTLS");
    caption("Command: STARTTLS Reply: OK");
    // Nothing the client sent behind STARTTLS is ever read: what follows
    // must come under TLS.
    endMail();
    std::string().swap(rec_.Pending);
    std::string().swap(rec_.Received);
    rec_.Phase = SessionPhase::Handshake;
    port_.StartTls(index_);
}

void SmtpSession::TlsStarted()
{
    endMail();
    rec_.Esmtp = false;
    rec_.LastLineCrLf = true;
    rec_.Phase = SessionPhase::Command;
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
    rec_.MailGiven = false;
    if (closing())
        return;
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

// What a reply may have ended: the socket is closed, nothing more is read.
bool SmtpSession::closing() const { return rec_.Phase == SessionPhase::Closing; }

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
    PageOutcome outcome;
    int code;
    const char* reply;
};

constexpr EndOfDataReply kEndOfData[] = {
    {PageOutcome::Queued, 250, "250 OK"},
    {PageOutcome::NoPagerNumber, 554, "554 VORN_SMTP_Server No pager number, message not processed"},
    {PageOutcome::BadField, 554, "554 VORN_SMTP_Server Markup in a field, message not processed"},
    {PageOutcome::QueueFull, 451, "451 VORN_SMTP_Server Queue full, try again later"},
    {PageOutcome::CannotStore, 451, "451 VORN_SMTP_Server Cannot store the page, try again later"},
    {PageOutcome::LinkBusy, 451, "451 VORN_SMTP_Server Link buffer full, try again later"},
    {PageOutcome::TryLater, 451, "451 VORN_SMTP_Server Pager number cannot be checked, try again later"},
    {PageOutcome::NoMessageId, 451, "451 VORN_SMTP_Server No message number available, try again later"},
};

}  // namespace

void SmtpSession::processDend()
{
    const std::uint64_t serial = rec_.Serial;
    const PageOutcome outcome = parser_.ParsePagerMessage(
        index_, rec_, [this, serial](PageOutcome late) { Answered(serial, late); });
    if (outcome == PageOutcome::Pending) {
        rec_.AwaitingCommit = true;
        return;
    }
    answer(outcome);
}

namespace {

const EndOfDataReply& replyFor(PageOutcome outcome)
{
    const auto* r = std::find_if(std::begin(kEndOfData), std::end(kEndOfData),
                                 [&](const EndOfDataReply& e) { return e.outcome == outcome; });
    // An outcome without a reply of its own: try again later.
    return r == std::end(kEndOfData) ? kEndOfData[3] : *r;
}

}  // namespace

void SmtpSession::answer(PageOutcome outcome)
{
    const EndOfDataReply& r = replyFor(outcome);
    SendReply(r.reply);
    port_.count(r.code);
    if (r.code == 250)
        caption("Command: DEND Reply: OK");
    else
        caption(r.code == 554 ? "Command: DEND Reply: 554 NOT PROCESSED" : "Command: DEND Reply: 451 TRY LATER");
}

void SmtpSession::Answered(std::uint64_t serial, PageOutcome outcome)
{
    if (rec_.Serial != serial || !rec_.AwaitingCommit || !port_.connected(index_)) {
        // The page went on as any other; only its reply has nowhere to go.
        port_.senderGone(index_, replyFor(outcome).reply);
        if (rec_.Serial == serial)
            rec_.AwaitingCommit = false;
        return;
    }
    rec_.AwaitingCommit = false;
    answer(outcome);
    port_.resume(index_);
}

}  // namespace smtpin
