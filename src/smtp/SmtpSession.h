#pragma once

#include "smtp/SMTPSocketType.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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
    // Sends what the session still holds, then closes its socket.
    virtual void ClosePort(int index) = 0;
    // Where the session stands with TLS.
    struct Tls {
        bool offered = false;    // STARTTLS can be given now
        bool active = false;
        bool required = false;   // and not yet active: most commands get 530
    };
    virtual Tls tls(int index) const = 0;
    // After STARTTLS's reply: the handshake, once that reply is out.
    virtual void StartTls(int index) = 0;
    // The socket still carries the session's connection.
    virtual bool connected(int index) const = 0;
    // A mail's late reply is out: the lines already read are handled, then the socket.
    virtual void resume(int index) = 0;
    // A sender left before the reply to its mail; what that reply was.
    virtual void senderGone(int index, const std::string& reply) = 0;
};

// The SMTP conversation of one socket: splits received text into lines,
// answers commands, collects the mail after DATA and hands it on at its end.
class SmtpSession {
public:
    static constexpr size_t kMaxLine = 64 * 1024;       // longest unterminated line kept
    static constexpr size_t kMaxMail = 1024 * 1024;     // largest mail, counted as SIZE counts it
    static constexpr size_t kMaxSendQueue = 256 * 1024; // replies a client leaves unread
    static constexpr int kMaxErrors = 20;                // 500, 501 and 502 replies before 421

    // index: the socket's element; record: its state, kept by the listener.
    SmtpSession(int index, SMTPSocketType& record, SessionPort& port, Label& lbPETTicker,
                PagerMessageParser& parser);

    // A new connection on this socket: everything of the one before goes.
    void Reset();
    // The greeting; from here on every line is a command.
    void Greet();
    // Handles the complete lines received; true when there was at least one.
    bool GetNextCommand();
    // The reply and CR LF; after EHLO with its enhanced code (by the reply
    // code unless given).
    void SendReply(const std::string& text, std::string_view enhanced = {});
    // Closed to make room for a new connection: said, then closed.
    void Evict();
    // The handshake is done: the session starts afresh, EHLO first.
    void TlsStarted();
    // The outcome of the mail whose page waited for its commit, for the
    // connection serial names.
    void Answered(std::uint64_t serial, PageOutcome outcome);

    // A command word and what runs it.
    struct Entry {
        std::string_view word;
        unsigned phases;   // bits of SessionPhase in which the word is taken
        bool beforeTls;    // taken while TLS is required and not yet active
        void (SmtpSession::*run)();
    };

private:
    static constexpr size_t kLongestWord = 16;
    static const Entry kCommands[];

    void acceptLine(const std::string& raw, bool crlf);
    void discardLongLine(size_t bytes);
    void keepRest(const std::string& text, size_t pos);
    void commandLine(const std::string& line);
    void dataLine(const std::string& raw, bool terminator);
    void trackHeader(SMTPSocketType& rec, const std::string& line);
    void streamDecoding(const std::string& line);
    void afterEarlyEndLine(size_t bytes, bool terminator);
    void overflowLine(bool terminator);
    void overlongLineEnded();
    void startMailOverflow();
    void endOfData(const std::string& logText, bool early);
    void processDend();
    // The one reply to the end of a mail's data.
    void answer(PageOutcome outcome);
    void endMail();
    bool closing() const;
    void appendBody(SMTPSocketType& rec, const std::string& line);
    void caption(const std::string& text);
    // 500, 501 and 502: counted, and too many end the session.
    void refuse(const std::string& reply, const std::string& captionText, bool logReply);
    void closeWith(const std::string& reply);

    // What is wrong with MAIL's parameters, as the reply; empty: nothing.
    static std::string mailParameterFault(const std::string& argument);
    // The commands.
    void mail();
    void hello();
    void rcpt();
    void data();
    void quit();
    void rset();
    void noop();
    void vrfy();
    void starttls();
    void notImplemented();

    const int index_;
    SMTPSocketType& rec_;
    SessionPort& port_;
    Label& lbPETTicker_;
    PagerMessageParser& parser_;
};

}  // namespace smtpin
