#include "smtp/SmtpSession.h"

#include "platform/Controls.h"
#include "smtp/Base64.h"
#include "smtp/SmtpListener.h"

#include <algorithm>
#include <cctype>

namespace smtpin {
namespace {

constexpr std::string_view kClosingTag = "</PagerMessage>";
constexpr std::string_view kBase64Header = "Content-Transfer-Encoding: base64";
constexpr std::string_view kQPHeader = "Content-Transfer-Encoding: quoted-printable";

std::string upper(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return s;
}

char lowerChar(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

// Keeps the first place of the closing tag in text up to date after text
// grew from oldSize; the tag may straddle the old end.
void trackTag(const std::string& text, size_t oldSize, size_t& pos)
{
    if (pos != std::string::npos)
        return;
    const size_t from = oldSize >= kClosingTag.size() ? oldSize - kClosingTag.size() + 1 : 0;
    pos = findNoCase(text, kClosingTag, from);
}

}  // namespace

size_t findNoCase(const std::string& haystack, std::string_view needle, size_t from)
{
    if (needle.empty() || haystack.size() < needle.size())
        return std::string::npos;
    const auto it = std::search(haystack.begin() + static_cast<std::ptrdiff_t>(std::min(from, haystack.size())),
                                haystack.end(), needle.begin(), needle.end(),
                                [](char a, char b) { return lowerChar(a) == lowerChar(b); });
    return it == haystack.end() ? std::string::npos : static_cast<size_t>(it - haystack.begin());
}

SmtpSession::SmtpSession(SmtpListener& listener, Label& lbPETTicker, PagerMessageParser& parser)
    : listener_(listener), lbPETTicker_(lbPETTicker), parser_(parser)
{
}

SMTPSocketType& SmtpSession::record(int index) { return listener_.SMTPSockets.at(static_cast<size_t>(index)); }

void SmtpSession::SendReply(int index, const std::string& text) { listener_.SendDataSocket(index, text + "\r\n"); }

void SmtpSession::caption(const std::string& text) { lbPETTicker_.setCaption(text); }

void SmtpSession::GetNextCommand(int index)
{
    SMTPSocketType& rec = record(index);
    std::string text;
    if (rec.Pending.empty())
        text.swap(rec.Received);
    else
        text = std::move(rec.Pending) + rec.Received;
    std::string().swap(rec.Received);
    rec.Pending.clear();

    size_t pos = 0;
    while (pos < text.size()) {
        const size_t k = text.find_first_of("\r\n", pos);
        if (k == std::string::npos)
            break;
        const bool cr = text[k] == '\r';
        if (rec.LineOverflow) {
            // The end of a line too long to keep.
            rec.LineOverflow = false;
            pos = k + 1;
            if (cr)
                overlongLineEnded(index);
            continue;
        }
        if (!cr) {
            // A bare LF takes what stands before it with it.
            pos = k + 1;
            continue;
        }
        const size_t length = k - pos;
        const size_t start = pos;
        pos = k + 1;
        if (length > kMaxLine)
            overlongLineEnded(index);
        else
            acceptLine(index, text.substr(start, length));
    }
    if (rec.LineOverflow)
        return;
    if (text.size() - pos > kMaxLine) {
        rec.LineOverflow = true;
        return;
    }
    rec.Pending = text.substr(pos);
}

void SmtpSession::overlongLineEnded(int index)
{
    SMTPSocketType& rec = record(index);
    if (rec.MailOverflow || rec.AfterData)
        return;
    if (rec.DataMode) {
        startMailOverflow(index);
        return;
    }
    std::string().swap(rec.Body);
    rec.BodyTagPos = std::string::npos;
    const std::string reply = "500 VORN_SMTP_Server Line too long";
    SendReply(index, reply);
    listener_.log(listener_.tick() + "CMD:  " + reply);
}

void SmtpSession::appendBody(SMTPSocketType& rec, const std::string& line)
{
    const size_t old = rec.Body.size();
    rec.Body += line;
    rec.Body += '\r';
    trackTag(rec.Body, old, rec.BodyTagPos);
}

void SmtpSession::acceptLine(int index, const std::string& raw)
{
    SMTPSocketType& rec = record(index);
    if (rec.MailOverflow) {
        overflowLine(index, raw);
        return;
    }
    if (rec.AfterData) {
        afterDataLine(index, raw);
        return;
    }
    if (rec.DataMode) {
        dataLine(index, raw);
        return;
    }
    if (rec.Body.size() + raw.size() + 1 > kMaxMail) {
        // Lines since the last command are kept for nothing but a client's DEND.
        std::string().swap(rec.Body);
        rec.BodyTagPos = std::string::npos;
    }
    appendBody(rec, raw);
    commandLine(index, raw);
}

void SmtpSession::commandLine(int index, const std::string& line)
{
    SMTPSocketType& rec = record(index);
    if (line.size() < 4 || line.size() == 5)
        return;
    rec.Command = upper(line.substr(0, 4));
    if (line.size() > 5)
        rec.Argument = line.substr(5);
    ProcessCommand(index, rec.Command);
}

void SmtpSession::dataLine(int index, const std::string& raw)
{
    SMTPSocketType& rec = record(index);
    const std::string soc = "soc[" + std::to_string(index) + "]";
    const bool terminator = raw == ".";
    // Senders double a leading dot; the pager must not see it twice.
    const std::string line = raw.size() > 1 && raw[0] == '.' ? raw.substr(1) : raw;
    if (!terminator && rec.Body.size() + line.size() + 1 > kMaxMail) {
        startMailOverflow(index);
        return;
    }
    appendBody(rec, line);
    listener_.log(soc + " CMD: [Data mode] " + line);

    if (rec.Base64Mode) {
        const std::string decoded = Base64DecodeLine(line);
        if (rec.Decoded.size() + decoded.size() > kMaxMail) {
            startMailOverflow(index);
            return;
        }
        const size_t old = rec.Decoded.size();
        rec.Decoded += decoded;
        trackTag(rec.Decoded, old, rec.DecodedTagPos);
        if (rec.DecodedTagPos != std::string::npos && rec.DecodedTagPos > 0) {
            endOfData(index, soc + " CONTENT: base64 END of DATA", true);
            return;
        }
    } else if (line.starts_with(kBase64Header)) {
        listener_.log(soc + " CONTENT: BASE64");
        rec.Base64Mode = true;
        std::string().swap(rec.Decoded);
        rec.DecodedTagPos = std::string::npos;
    }
    if (line.starts_with(kQPHeader)) {
        listener_.log(soc + " CONTENT: Quoted-Printable");
        rec.QPMode = true;
    }
    if (terminator) {
        endOfData(index, soc + " SMTP: END of DATA", false);
        return;
    }
    if (rec.BodyTagPos != std::string::npos && rec.BodyTagPos > 0)
        endOfData(index, soc + " CONTENT: END of DATA", true);
}

void SmtpSession::endOfData(int index, const std::string& logText, bool early)
{
    listener_.log(logText);
    ProcessCommand(index, "DEND");
    record(index).AfterData = early;
}

void SmtpSession::afterDataLine(int index, const std::string& line)
{
    SMTPSocketType& rec = record(index);
    listener_.log("soc[" + std::to_string(index) + "] CMD: [Data mode] " + line);
    if (line == ".") {
        rec.AfterData = false;
        return;
    }
    // A sender that never sends "." can still leave.
    if (line.size() >= 4 && line.size() != 5 && upper(line.substr(0, 4)) == "QUIT") {
        rec.AfterData = false;
        commandLine(index, line);
    }
}

void SmtpSession::startMailOverflow(int index)
{
    SMTPSocketType& rec = record(index);
    listener_.log("soc[" + std::to_string(index) + "] SMTP: Mail larger than " + std::to_string(kMaxMail) +
                  " bytes, rest of mail discarded");
    std::string().swap(rec.Body);
    std::string().swap(rec.Decoded);
    rec.BodyTagPos = rec.DecodedTagPos = std::string::npos;
    rec.MailOverflow = true;
}

void SmtpSession::overflowLine(int index, const std::string& raw)
{
    if (raw != ".")
        return;
    SMTPSocketType& rec = record(index);
    rec.MailOverflow = false;
    rec.DataMode = false;
    rec.Base64Mode = false;
    rec.QPMode = false;
    const std::string reply = "552 VORN_SMTP_Server Message size exceeds fixed maximum message size";
    SendReply(index, reply);
    listener_.log(listener_.tick() + "CMD:  " + reply);
    caption("Command: DATA Reply: 552 SIZE");
}

void SmtpSession::ProcessCommand(int index, const std::string& command)
{
    SMTPSocketType& rec = record(index);
    const std::string cmd = listener_.tick() + "CMD:  ";
    if (command == "MAIL") {
        SendReply(index, "250 OK");
        listener_.log(cmd + "MAIL " + rec.Argument);
        caption("Command: MAIL Reply: OK");
    } else if (command == "HELO" || command == "EHLO") {
        SendReply(index, "250 VORN_SMTP_Server");
        listener_.log(cmd + rec.Command + " " + rec.Argument);
        caption("Command: HELLO Reply: OK");
    } else if (command == "RCPT") {
        if (upper(rec.Argument.substr(0, 3)) == "TO:") {
            listener_.log(cmd + "RCPT TO: " + rec.Argument.substr(3));
            SendReply(index, "250 OK");
            caption("Command: RCPT Reply: OK");
        } else {
            SendReply(index, "501 VORN_SMTP_Server Syntax error in parameters or arguments");
            caption("Command: RCPT Reply: SYNTAX ERROR");
        }
    } else if (command == "DATA") {
        rec.DataMode = true;
        rec.MailOverflow = rec.AfterData = false;
        SendReply(index, "354 OK");
        listener_.log(cmd + "DATA:");
        caption("Command: DATA Reply: OK");
    } else if (command == "DEND") {
        processDend(index);
    } else if (command == "QUIT") {
        SendReply(index, "221 VORN_SMTP_Server Service closing transmission channel");
        listener_.log(cmd + "QUIT:");
        caption("Command: QUIT Reply: OK");
    } else {
        const std::string reply = "502 VORN_SMTP_Server [" + rec.Command + "] Command not implemented";
        SendReply(index, reply);
        listener_.log(reply);
        caption("Command: UNKNOWN Reply: 502 BAD");
    }
    std::string().swap(rec.Body);
    rec.BodyTagPos = std::string::npos;
}

void SmtpSession::processDend(int index)
{
    SMTPSocketType& rec = record(index);
    rec.DataMode = false;
    const MailOutcome outcome = parser_.ParsePagerMessage(index, rec);
    switch (outcome) {
    case MailOutcome::Queued:
        SendReply(index, "250 OK");
        caption("Command: DEND Reply: OK");
        break;
    case MailOutcome::NoPagerNumber:
        SendReply(index, "554 VORN_SMTP_Server No pager number, message not processed");
        caption("Command: DEND Reply: 554 NOT PROCESSED");
        break;
    case MailOutcome::QueueFull:
        SendReply(index, "451 VORN_SMTP_Server Queue full, try again later");
        caption("Command: DEND Reply: 451 TRY LATER");
        break;
    case MailOutcome::LinkBusy:
        SendReply(index, "451 VORN_SMTP_Server Link buffer full, try again later");
        caption("Command: DEND Reply: 451 TRY LATER");
        break;
    case MailOutcome::TryLater:
        SendReply(index, "451 VORN_SMTP_Server Pager number cannot be checked, try again later");
        caption("Command: DEND Reply: 451 TRY LATER");
        break;
    case MailOutcome::NoMessageId:
        SendReply(index, "451 VORN_SMTP_Server No message number available, try again later");
        caption("Command: DEND Reply: 451 TRY LATER");
        break;
    }
}

}  // namespace smtpin
