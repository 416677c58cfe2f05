#pragma once

#include "smtp/SMTPSocketType.h"

#include <cstddef>
#include <string>

namespace smtpin {

class SmtpListener;
class Label;

// The SMTP conversation of one socket: splits received text into lines,
// answers commands, collects the mail after DATA and hands it on at its end.
class SmtpSession {
public:
    static constexpr size_t kMaxLine = 64 * 1024;       // longest unterminated line kept
    static constexpr size_t kMaxMail = 1024 * 1024;     // largest Body or Decoded kept
    static constexpr size_t kMaxSendQueue = 256 * 1024; // replies a client leaves unread

    SmtpSession(SmtpListener& listener, Label& lbPETTicker, PagerMessageParser& parser);

    void GetNextCommand(int index);
    void ProcessCommand(int index, const std::string& command);
    void SendReply(int index, const std::string& text);

private:
    SMTPSocketType& record(int index);
    void acceptLine(int index, const std::string& raw, bool crlf);
    void commandLine(int index, const std::string& line);
    void dataLine(int index, const std::string& raw, bool terminator);
    void trackHeader(SMTPSocketType& rec, const std::string& line);
    void streamDecoding(int index, const std::string& line);
    void afterDataLine(int index, const std::string& line, bool terminator);
    void overflowLine(int index, bool terminator);
    void overlongLineEnded(int index);
    void startMailOverflow(int index);
    void endOfData(int index, const std::string& logText, bool early);
    void processDend(int index);
    void caption(const std::string& text);
    void appendBody(SMTPSocketType& rec, const std::string& line);

    SmtpListener& listener_;
    Label& lbPETTicker_;
    PagerMessageParser& parser_;
};


}  // namespace smtpin
