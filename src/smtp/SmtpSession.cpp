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

void SmtpSession::SendReply(const std::string& text) { port_.SendDataSocket(index_, text + "\r\n"); }

void SmtpSession::caption(const std::string& text) { lbPETTicker_.setCaption(text); }

void SmtpSession::GetNextCommand()
{
    SMTPSocketType& rec = rec_;
    std::string text;
    if (rec.Pending.empty())
        text.swap(rec.Received);
    else
        text = std::move(rec.Pending) + rec.Received;
    std::string().swap(rec.Received);
    rec.Pending.clear();

    // A line ends at LF, with or without CR before it; a bare CR is data.
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t k = text.find('\n', pos);
        if (k == std::string::npos)
            break;
        const bool crlf = k > pos ? text[k - 1] == '\r' : rec.LineOverflow && rec.OverflowEndsCr;
        const size_t start = pos;
        const size_t length = k - pos - (crlf && k > pos ? 1 : 0);
        pos = k + 1;
        if (rec.LineOverflow) {
            // The end of a line too long to keep.
            rec.LineOverflow = false;
            rec.LastLineCrLf = crlf;
            overlongLineEnded();
            continue;
        }
        if (length > kMaxLine) {
            rec.LastLineCrLf = crlf;
            overlongLineEnded();
        } else {
            acceptLine(text.substr(start, length), crlf);
        }
    }
    if (rec.LineOverflow) {
        if (pos < text.size())
            rec.OverflowEndsCr = text.back() == '\r';
        return;
    }
    if (text.size() - pos > kMaxLine) {
        rec.LineOverflow = true;
        rec.OverflowEndsCr = text.back() == '\r';
        return;
    }
    rec.Pending = text.substr(pos);
}

void SmtpSession::overlongLineEnded()
{
    SMTPSocketType& rec = rec_;
    if (rec.MailOverflow || rec.AfterData)
        return;
    if (rec.DataMode) {
        startMailOverflow();
        return;
    }
    std::string().swap(rec.Body);
    rec.BodyTagPos = std::string::npos;
    port_.count(500);
    const std::string reply = "500 VORN_SMTP_Server Line too long";
    SendReply(reply);
    port_.log(port_.tick() + "CMD:  " + reply);
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
    // passes on as data can never end it early.
    const bool terminator = raw == "." && crlf && rec.LastLineCrLf;
    rec.LastLineCrLf = crlf;
    if (rec.Quit)
        return;
    if (rec.MailOverflow) {
        overflowLine(terminator);
        return;
    }
    if (rec.AfterData) {
        afterDataLine(raw, terminator);
        return;
    }
    if (rec.DataMode) {
        dataLine(raw, terminator);
        return;
    }
    if (rec.Body.size() + raw.size() + 2 > kMaxMail) {
        // Lines since the last command are kept for nothing but a client's DEND.
        std::string().swap(rec.Body);
        rec.BodyTagPos = std::string::npos;
    }
    appendBody(rec, raw);
    commandLine(raw);
}

void SmtpSession::commandLine(const std::string& line)
{
    SMTPSocketType& rec = rec_;
    // A word and one space is the word: "QUIT " gets its reply.
    if (line.size() < 4 || (line.size() == 5 && line[4] != ' '))
        return;
    rec.Command = text::Upper(line.substr(0, 4));
    if (line.size() > 5)
        rec.Argument = line.substr(5);
    ProcessCommand(rec.Command);
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
        if (!rec.DataMode || rec.MailOverflow)
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
        if (rec.DecodedTagPos != std::string::npos && rec.DecodedTagPos > 0) {
            endOfData(soc + " CONTENT: base64 END of DATA", true);
            return;
        }
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
    ProcessCommand("DEND");
    rec_.AfterData = early;
}

void SmtpSession::afterDataLine(const std::string& line, bool terminator)
{
    SMTPSocketType& rec = rec_;
    port_.log("soc[" + std::to_string(index_) + "] CMD: [Data mode] " + line);
    if (terminator) {
        rec.AfterData = false;
        return;
    }
    // A sender that never sends "." can still leave; what follows its QUIT
    // is still this mail's data, so it is never read as commands.
    if (text::Upper(line) == "QUIT" || text::Upper(line) == "QUIT ") {
        rec.AfterData = false;
        commandLine(line);
        rec.Quit = true;
    }
}

void SmtpSession::startMailOverflow()
{
    SMTPSocketType& rec = rec_;
    port_.log("soc[" + std::to_string(index_) + "] SMTP: Mail larger than " + std::to_string(kMaxMail) +
                  " bytes, rest of mail discarded");
    std::string().swap(rec.Body);
    std::string().swap(rec.Decoded);
    rec.BodyTagPos = rec.DecodedTagPos = std::string::npos;
    rec.MailOverflow = true;
}

void SmtpSession::overflowLine(bool terminator)
{
    if (!terminator)
        return;
    SMTPSocketType& rec = rec_;
    rec.MailOverflow = false;
    rec.DataMode = false;
    rec.Base64Mode = false;
    rec.QPMode = false;
    port_.count(552);
    const std::string reply = "552 VORN_SMTP_Server Message size exceeds fixed maximum message size";
    SendReply(reply);
    port_.log(port_.tick() + "CMD:  " + reply);
    caption("Command: DATA Reply: 552 SIZE");
}

void SmtpSession::ProcessCommand(const std::string& command)
{
    SMTPSocketType& rec = rec_;
    const std::string cmd = port_.tick() + "CMD:  ";
    if (command == "MAIL") {
        SendReply("250 OK");
        port_.log(cmd + "MAIL " + rec.Argument);
        caption("Command: MAIL Reply: OK");
    } else if (command == "HELO" || command == "EHLO") {
        SendReply("250 VORN_SMTP_Server");
        port_.log(cmd + rec.Command + " " + rec.Argument);
        caption("Command: HELLO Reply: OK");
    } else if (command == "RCPT") {
        if (text::Upper(rec.Argument.substr(0, 3)) == "TO:") {
            port_.log(cmd + "RCPT TO: " + rec.Argument.substr(3));
            SendReply("250 OK");
            caption("Command: RCPT Reply: OK");
        } else {
            SendReply("501 VORN_SMTP_Server Syntax error in parameters or arguments");
            caption("Command: RCPT Reply: SYNTAX ERROR");
        }
    } else if (command == "DATA") {
        rec.DataMode = true;
        rec.MailOverflow = rec.AfterData = false;
        rec.InHeader = true;
        SendReply("354 OK");
        port_.log(cmd + "DATA:");
        caption("Command: DATA Reply: OK");
    } else if (command == "DEND") {
        processDend();
    } else if (command == "QUIT") {
        SendReply("221 VORN_SMTP_Server Service closing transmission channel");
        port_.log(cmd + "QUIT:");
        caption("Command: QUIT Reply: OK");
    } else {
        const std::string reply = "502 VORN_SMTP_Server [" + rec.Command + "] Command not implemented";
        SendReply(reply);
        port_.log(reply);
        caption("Command: UNKNOWN Reply: 502 BAD");
    }
    std::string().swap(rec.Body);
    rec.BodyTagPos = std::string::npos;
    rec.BodyStart = 0;
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
    SMTPSocketType& rec = rec_;
    rec.DataMode = false;
    const MailOutcome outcome = parser_.ParsePagerMessage(index_, rec);
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
