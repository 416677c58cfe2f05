#pragma once

#include "forms/FrmSMTP.h"
#include "log/SystemLog.h"
#include "platform/Clock.h"
#include "smtp/SmtpListener.h"
#include "support/TestClient.h"

#include <QHostAddress>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace smtpin::test {

// Records each finished mail instead of extracting a page from it.
struct RecordingParser : PagerMessageParser {
    struct Mail {
        int index;
        std::string body, decoded;
        bool base64, qp;
    };
    std::vector<Mail> mails;
    PageOutcome outcome = PageOutcome::Queued;
    // Each mail waits for a commit the test makes with commit().
    bool deferred = false;
    std::vector<Done> waiting;

    PageOutcome ParsePagerMessage(int index, SMTPSocketType& r, Done done) override
    {
        mails.push_back({index, r.Body, r.Decoded, r.Base64Mode, r.QPMode});
        r.Base64Mode = false;
        r.QPMode = false;
        if (!deferred)
            return outcome;
        waiting.push_back(std::move(done));
        return PageOutcome::Pending;
    }

    // The commit of every mail waiting: each told the outcome, in order.
    void commit()
    {
        std::vector<Done> batch;
        batch.swap(waiting);
        for (Done& done : batch)
            done(outcome);
    }
};

// A listener on the address and port given, its timers driven by the
// test, and not yet loaded.
struct BareListener {
    ManualClock clock;
    forms::FrmSMTP form;
    SystemLog log{clock, {form.lbxSystemLog, form.lbxSMTPLOG, form.cbxErrorLogging}};
    RecordingParser parser;
    SmtpListener listener{clock, log, {form.lbPETTicker, form.lbSocsLoaded, form.txbServerAddress, form.txbServerPort},
                          parser};

    BareListener(const std::string& address, const std::string& port)
    {
        listener.setTimersEnabled(false);
        form.txbServerAddress.setText(address);
        form.txbServerPort.setText(port);
    }
};

// A listener on a free loopback port with its timers driven by the test.
struct SmtpHarness : BareListener {
    int port = 0;

    explicit SmtpHarness(int maxSockets = 10) : BareListener("127.0.0.1", "0")
    {
        listener.SetMaxSockets(maxSockets);
        listener.Form_Load();
        port = listener.socket(0).localPort();
    }

    void tick() { listener.tmrPortTimer_Timer(); }

    // A client that is connected and has read its greeting. receiveBuffer:
    // the kernel's buffer on its side, set before the connection so that the
    // kernel cannot grow it (0: the kernel's own).
    std::unique_ptr<TestClient> connectGreeted(int receiveBuffer = 0)
    {
        auto c = std::make_unique<TestClient>();
        if (receiveBuffer > 0) {
            EXPECT_TRUE(c->socket().bind(QHostAddress::LocalHost));
            c->socket().setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, receiveBuffer);
        }
        EXPECT_TRUE(c->connectTo(port));
        EXPECT_TRUE(waitLines(*c, 1));
        return c;
    }

    bool waitLines(TestClient& c, size_t n, int timeoutMs = 3000)
    {
        return pumpUntil([&] { return c.lines().size() >= n; }, timeoutMs, [this] { tick(); });
    }

    // Gives late, unexpected replies a chance to arrive.
    void settle(int ms = 150)
    {
        pumpUntil([] { return false; }, ms, [this] { tick(); });
    }

    // Texts of the SMTP log lines since the start, oldest first.
    std::vector<std::string> smtpLog() const
    {
        std::vector<std::string> out;
        const std::string& all = log.SMTPLogPending();
        size_t pos = 0;
        for (size_t k; (k = all.find("\r\n", pos)) != std::string::npos; pos = k + 2) {
            const std::string line = all.substr(pos, k - pos);
            const size_t tab = line.find('\t');
            out.push_back(tab == std::string::npos ? line : line.substr(tab + 1));
        }
        return out;
    }

    bool logged(const std::string& text) const
    {
        const auto l = smtpLog();
        return std::find(l.begin(), l.end(), text) != l.end();
    }

    bool loggedContaining(const std::string& part) const
    {
        const auto l = smtpLog();
        return std::any_of(l.begin(), l.end(), [&](const std::string& s) { return s.find(part) != std::string::npos; });
    }
};

}  // namespace smtpin::test
