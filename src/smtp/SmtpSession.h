#pragma once

#include "smtp/SMTPSocketType.h"

#include <cstddef>
#include <string>

namespace smtpin {

class Label;

// What a session needs of the listener that owns its socket.
class SessionPort {
public:
    virtual ~SessionPort() = default;
    // Queues text on the session's socket; false when it cannot be sent.
    virtual bool SendDataSocket(int index, const std::string& text) = 0;
    virtual void log(const std::string& text) = 0;
    // "[n]", the listener's log tick.
    virtual std::string tick() const = 0;
    // A reply that ends a mail or refuses a line: 250 taken, else refused by code.
    virtual void count(int replyCode) = 0;
};

// The SMTP conversation of one socket: splits received text into lines,
// answers commands, collects the mail after DATA and hands it on at its end.
class SmtpSession {
public:
    static constexpr size_t kMaxLine = 64 * 1024;       // longest unterminated line kept
    static constexpr size_t kMaxMail = 1024 * 1024;     // largest Body or Decoded kept
    static constexpr size_t kMaxSendQueue = 256 * 1024; // replies a client leaves unread

    // index: the socket's element; record: its state, kept by the listener.
    SmtpSession(int index, SMTPSocketType& record, SessionPort& port, Label& lbPETTicker,
                PagerMessageParser& parser);

    void GetNextCommand();
    void ProcessCommand(const std::string& command);
    void SendReply(const std::string& text);

private:
    void acceptLine(const std::string& raw, bool crlf);
    void commandLine(const std::string& line);
    void dataLine(const std::string& raw, bool terminator);
    void trackHeader(SMTPSocketType& rec, const std::string& line);
    void streamDecoding(const std::string& line);
    void afterDataLine(const std::string& line, bool terminator);
    void overflowLine(bool terminator);
    void overlongLineEnded();
    void startMailOverflow();
    void endOfData(const std::string& logText, bool early);
    void processDend();
    void caption(const std::string& text);
    void appendBody(SMTPSocketType& rec, const std::string& line);

    const int index_;
    SMTPSocketType& rec_;
    SessionPort& port_;
    Label& lbPETTicker_;
    PagerMessageParser& parser_;
};

}  // namespace smtpin
