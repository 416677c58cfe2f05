// The SMTP session's framing and commands, fed in pieces as sockets deliver them.
#include "platform/Controls.h"
#include "smtp/MailContent.h"
#include "smtp/SmtpSession.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace smtpin;

namespace {

struct Port final : SessionPort {
    std::string out;
    bool closed = false;
    bool SendDataSocket(int, const std::string& text) override
    {
        if (closed)
            return false;
        out += text;
        if (out.size() > SmtpSession::kMaxSendQueue)
            out.clear();
        return true;
    }
    void log(const std::string&) override {}
    std::string tick() const override { return "[0]"; }
    void count(int) override {}
    void ClosePort(int) override { closed = true; }
    Tls tls(int) const override { return {true, false, tlsRequired}; }
    void StartTls(int) override {}
    bool connected(int) const override { return !closed; }
    void resume(int) override { resumed = true; }
    void senderGone(int, const std::string&) override {}
    bool tlsRequired = false;
    bool resumed = false;
};

// Reads the finished mail as the program does.
// Reads the finished mail as the program does; a page waits for its
// commit when the input says so.
struct Parser final : PagerMessageParser {
    PageOutcome ParsePagerMessage(int, SMTPSocketType& record, Done done) override
    {
        const PagerText found = FindPagerText(record.Body, codePage);
        record.Base64Mode = record.QPMode = false;
        if (found.text.empty())
            return PageOutcome::NoPagerNumber;
        if (!deferred)
            return PageOutcome::Queued;
        waiting = std::move(done);
        return PageOutcome::Pending;
    }
    CodePage codePage;
    bool deferred = false;
    Done waiting;
};

void check(bool ok)
{
    if (!ok)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    static Parser parser;
    parser.deferred = (data[1] & 1) != 0;
    parser.waiting = nullptr;
    Port port;
    port.tlsRequired = (data[0] & 0x80) != 0;
    Label ticker;
    SMTPSocketType record;
    SmtpSession session(1, record, port, ticker, parser);
    session.Greet();
    // The first byte sets the size of the pieces the socket delivers.
    const std::size_t piece = 1 + (data[0] & 0x7f);
    for (std::size_t at = 1; at < size && !port.closed; at += piece) {
        record.Received.append(reinterpret_cast<const char*>(data + at), std::min(piece, size - at));
        session.GetNextCommand();
        // The commit comes between two reads: the reply, then what waited.
        if (Parser::Done done = std::move(parser.waiting)) {
            parser.waiting = nullptr;
            done(PageOutcome::Queued);
            if (port.resumed)
                session.GetNextCommand();
            port.resumed = false;
        }
        if (record.Phase == SessionPhase::Handshake)
            session.TlsStarted();
        // What one session may hold stays bounded, whatever it is sent.
        check(record.Pending.size() <= 2 * SmtpSession::kMaxLine);
        check(record.Body.size() <= SmtpSession::kMaxMail);
        check(record.Decoded.size() <= SmtpSession::kMaxMail);
        check(record.Errors <= SmtpSession::kMaxErrors);
    }
    // Every reply is whole lines.
    check(port.out.empty() || port.out.ends_with("\r\n"));
    return 0;
}
