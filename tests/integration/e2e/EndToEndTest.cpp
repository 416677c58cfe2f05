// The real smtpin binary with a real hubsim and a real SQLite catalogue:
// mails in, pages out, and the ways start-up and shut-down can go.
#include "EndToEnd.h"

#include "support/XvfbDisplay.h"

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QProcess>
#include <QTcpServer>

#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <vector>

namespace smtpin::test {
namespace {

std::string base64(const std::string& s) { return QByteArray::fromStdString(s).toBase64().toStdString(); }

TEST_F(EndToEnd, PlainMailBecomesAPageAndTheSwitchDeletesIt)
{
    startBoth();
    EXPECT_EQ(sendMail(smtpPort, pagerXml("4711", "Fire at gate 3", "hash42")), "250 OK");
    ASSERT_TRUE(hub.waitForLine("RX NEWMESS", 10000));
    EXPECT_TRUE(hub.waitForLine("to 4711: Fire at gate 3"));
    EXPECT_TRUE(hub.waitForLine("TX DELETE"));
    EXPECT_TRUE(app.waitForLine("AIQF: Request DELETE message "));
    // The record carries the mail's hash, machine and address.
    EXPECT_TRUE(app.waitForLine("|4711||Fire at gate 3|hash42|10.1.2.3|MAILHOST|"));
    EXPECT_EQ(app.terminate(), 0);
    EXPECT_TRUE(hub.waitForLine("RX 1002 logoff"));
    EXPECT_EQ(app.rowState(), "00");
    // The version the family knows this client by.
    EXPECT_NE(app.applicationLog().find("SMTP Application LOG  V2.1 (35) has started."), std::string::npos);
    EXPECT_NE(app.smtpLog().find("SMTP Email LOG  V2.1 (35) has started."), std::string::npos);
    EXPECT_NE(app.applicationLog().find("Main: SMTP s01 now operational using version  V2.1(35) 2022"),
              std::string::npos);
}

TEST_F(EndToEnd, EncodedBodiesAndEntitiesAreDecoded)
{
    startBoth();
    const std::string xml1 = "<PagerMessage><PagerPin>1001</PagerPin><Message>Base64 single</Message></PagerMessage>";
    EXPECT_EQ(sendMail(smtpPort, "Subject: b\r\nContent-Transfer-Encoding: base64\r\n\r\n" + base64(xml1)), "250 OK");
    const std::string xml2 = "<PagerMessage><PagerPin>1002</PagerPin><Message>Base64 alternative</Message></PagerMessage>";
    EXPECT_EQ(sendMail(smtpPort,
                       "Subject: m\r\nMIME-Version: 1.0\r\nContent-Type: multipart/alternative; boundary=\"b1\"\r\n\r\n"
                       "--b1\r\nContent-Type: text/plain\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
                           base64(xml2) + "\r\n--b1--"),
              "250 OK");
    EXPECT_EQ(sendMail(smtpPort, "Subject: q\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
                                 "<PagerMessage><PagerPin>1003</PagerPin><Message>Quoted printable with a so=\r\n"
                                 "ft break</Message></PagerMessage>"),
              "250 OK");
    EXPECT_EQ(sendMail(smtpPort, pagerXml("1004", "a &lt; b &amp;&amp; c")), "250 OK");
    EXPECT_TRUE(hub.waitForLine("to 1001: Base64 single", 10000));
    EXPECT_TRUE(hub.waitForLine("to 1002: Base64 alternative"));
    EXPECT_TRUE(hub.waitForLine("to 1003: Quoted printable with a soft break"));
    EXPECT_TRUE(hub.waitForLine("to 1004: a < b && c"));
}

TEST_F(EndToEnd, AStandardMailClientIsServed)
{
    startBoth();
    const std::string script =
        "import smtplib, sys\n"
        "from email.message import EmailMessage\n"
        "m = EmailMessage()\n"
        "m['From'] = 'dispatch@test'; m['To'] = 'pager@test'; m['Subject'] = 'page'\n"
        "m.set_content('<PagerMessage><PagerPin>2002</PagerPin><Message>From smtplib</Message></PagerMessage>',"
        " cte='base64')\n"
        "s = smtplib.SMTP('127.0.0.1', int(sys.argv[1]), timeout=20)\n"
        "s.send_message(m)\n"
        "s.quit()\n";
    QProcess py;
    py.start("python3", {"-c", QString::fromStdString(script), QString::number(smtpPort)});
    ASSERT_TRUE(pumpUntil([&] { return py.state() == QProcess::NotRunning; }, 20000));
    EXPECT_EQ(py.exitCode(), 0) << py.readAllStandardError().toStdString();
    EXPECT_TRUE(hub.waitForLine("to 2002: From smtplib", 10000));
}

TEST_F(EndToEnd, RefusalsAreAnsweredSoTheSenderUnderstands)
{
    ASSERT_TRUE(app.exec("UPDATE HXSClientConfig SET [Value] = '0' WHERE [Parameter] = 'QUEUE_SIZE'"));
    ASSERT_TRUE(app.exec("INSERT INTO HXSSirenSites ([PAGER_ID], [MESS_ID]) VALUES ('555', '9999')"));
    startBoth({"--no-delete"});
    EXPECT_EQ(sendMail(smtpPort, pagerXml("", "No number")),
              "554 VORN_SMTP_Server No pager number, message not processed");
    EXPECT_EQ(sendMail(smtpPort, pagerXml("555", "Siren")), "250 OK");
    EXPECT_TRUE(hub.waitForLine("to 9999: Siren", 10000));
    // One slot, held until the switch deletes it: the next mail must wait.
    EXPECT_EQ(sendMail(smtpPort, pagerXml("556", "Second")), "451 VORN_SMTP_Server Queue full, try again later");
}

TEST_F(EndToEnd, NoClientRowLeavesItInertWithItsReason)
{
    ASSERT_TRUE(app.exec("DELETE FROM HXSClient"));
    expectStartUpFails("Unable to locate the user id for this client type SMTPIN");
}

TEST_F(EndToEnd, AListenerPortTakenAtStartIsReportedAndOpenedOnceFree)
{
    QTcpServer squatter;
    ASSERT_TRUE(squatter.listen(QHostAddress::LocalHost, static_cast<quint16>(smtpPort)));
    ASSERT_TRUE(hub.startOn(hubPort));
    ASSERT_TRUE(app.start());
    EXPECT_TRUE(hub.waitForLine("RX UNAVAIL", 20000)) << app.errorText();
    // The status line says what failed, not that it listens.
    ASSERT_TRUE(app.waitForLine("NOT listening on 127.0.0.1:" + std::to_string(smtpPort) + ": "));
    EXPECT_EQ(app.count("s01 listening on"), 0);
    EXPECT_TRUE(app.waitForLine("ReOPENPort Error: Closing port [10048] "));

    squatter.close();
    std::string reply;
    pumpUntil([&] { return (reply = sendMail(smtpPort, pagerXml("4005", "Once the port is free"))) == "250 OK"; },
              20000);
    EXPECT_EQ(reply, "250 OK");
    EXPECT_TRUE(hub.waitForLine("to 4005: Once the port is free", 10000));
    EXPECT_TRUE(hub.waitForLine("RX READY"));
    EXPECT_EQ(app.terminate(), 0);
}

TEST_F(EndToEnd, RunningOutOfFileDescriptorsIsLoggedAndTheListenerRecovers)
{
    ASSERT_TRUE(app.exec("UPDATE HXSClientConfig SET [Value] = '100' WHERE [Parameter] = 'MAX_SOCKETS'"));
    app.setLauncher({"prlimit", "--nofile=32:32"});
    startBoth();
    // Connections that stay open until the program has no descriptor left.
    std::vector<std::unique_ptr<TestClient>> crowd;
    const bool ranOut = pumpUntil([&] {
        if (crowd.size() < 200) {
            crowd.push_back(std::make_unique<TestClient>());
            crowd.back()->socket().connectToHost("127.0.0.1", static_cast<quint16>(smtpPort));
        }
        return app.count("Event: Socket ERROR [10024] on socket [0] error is :- Too many open files") > 0;
    }, 30000);
    EXPECT_TRUE(ranOut) << crowd.size() << " connections, " << app.count("Accept request id") << " accepted, "
                        << app.count("Socket closed [") << " closed; the program's last line:\n" << app.lines().back();
    crowd.clear();
    std::string reply;
    pumpUntil([&] { return (reply = sendMail(smtpPort, pagerXml("4006", "Descriptors back"))) == "250 OK"; }, 20000);
    EXPECT_EQ(reply, "250 OK");
    EXPECT_TRUE(hub.waitForLine("to 4006: Descriptors back", 10000));
    EXPECT_EQ(app.terminate(), 0);
}

TEST_F(EndToEnd, TheDriverRetriesUntilTheSwitchComesUp)
{
    ASSERT_TRUE(app.start());
    ASSERT_TRUE(app.waitForLine("s01 listening on")) << app.errorText();
    pumpUntil([] { return false; }, 4000);
    EXPECT_EQ(sendMail(smtpPort, pagerXml("3003", "Before the switch")), "250 OK");
    ASSERT_TRUE(hub.startOn(hubPort));
    EXPECT_TRUE(hub.waitForLine("RX 1000 login", 20000));
    EXPECT_TRUE(hub.waitForLine("to 3003: Before the switch", 10000));
}

TEST_F(EndToEnd, MailsTakenWhileTheSwitchRestartsReachItAfterTheNewLogin)
{
    startBoth();
    EXPECT_EQ(sendMail(smtpPort, pagerXml("4001", "First")), "250 OK");
    ASSERT_TRUE(hub.waitForLine("to 4001: First", 10000));
    hub.kill();
    EXPECT_EQ(sendMail(smtpPort, pagerXml("4002", "While down")), "250 OK");
    HubSimProcess again;
    ASSERT_TRUE(again.startOn(hubPort));
    EXPECT_TRUE(again.waitForLine("RX 1000 login", 20000));
    EXPECT_TRUE(again.waitForLine("to 4002: While down", 10000));
    EXPECT_TRUE(app.waitForLine("AIQF: Request DELETE message "));
}

// Pages taken while the switch is down are on disk: an orderly restart in
// between loses none of them.
TEST_F(EndToEnd, PagesTakenWhileTheSwitchIsDownSurviveARestart)
{
    ASSERT_TRUE(app.start());
    ASSERT_TRUE(app.waitForLine("s01 listening on")) << app.errorText();
    for (const char* text : {"Spooled one", "Spooled two", "Spooled three"})
        ASSERT_EQ(sendMail(smtpPort, pagerXml("5005", text)), "250 OK") << text;
    ASSERT_EQ(app.terminate(), 0);
    EXPECT_NE(app.applicationLog().find("  SP: 3 messages stay spooled for the next start"), std::string::npos);

    ASSERT_TRUE(hub.startOn(hubPort));
    ASSERT_TRUE(app.start());
    for (const char* text : {"Spooled one", "Spooled two", "Spooled three"})
        EXPECT_TRUE(hub.waitForLine(std::string("to 5005: ") + text, 20000)) << text;
    EXPECT_NE(app.applicationLog().find("  SP: 3 messages restored from the spool, 0 waiting for a free slot"),
              std::string::npos);
    EXPECT_EQ(app.terminate(), 0);
}

// Another program holds the catalogue's write lock: greetings and replies
// keep coming, pages are taken while the reserved ids last (the siren table
// is still read: the catalogue keeps a write-ahead log, so a writer blocks
// no reader), then answered 451, and the log rows reach the catalogue once
// it is free.
TEST_F(EndToEnd, ALockedCatalogueNeverHoldsTheProgramUp)
{
    startBoth();
    const std::string dispatch = "<IsDispatchMessage>True</IsDispatchMessage>";
    ASSERT_EQ(sendMail(smtpPort, pagerXml("6001", "Before the lock", "h1", dispatch)), "250 OK");
    const int rowsBefore = app.value("SELECT COUNT(*) FROM HXSLog").toInt();

    QProcess locker;
    locker.start("python3", {"-c",
                             "import sqlite3,sys,time\n"
                             "c=sqlite3.connect(sys.argv[1],isolation_level=None)\n"
                             "c.execute('BEGIN EXCLUSIVE')\nprint('locked',flush=True)\ntime.sleep(float(sys.argv[2]))\n"
                             "c.execute('COMMIT')",
                             QString::fromStdString(dir.file("HXSMKII.sqlite")), "6"});
    ASSERT_TRUE(locker.waitForReadyRead(10000));
    QElapsedTimer t;
    t.start();
    qint64 slowest = 0;
    int taken = 0, later = 0;
    for (int i = 0; t.elapsed() < 5000; ++i) {
        QElapsedTimer one;
        one.start();
        const bool siren = i % 2 == 1;
        const std::string reply = sendMail(smtpPort, pagerXml("6002", "During the lock " + std::to_string(i), "h1",
                                                              siren ? "" : dispatch));
        slowest = std::max(slowest, one.elapsed());
        if (reply == "250 OK")
            ++taken;
        else if (reply.rfind("451 ", 0) == 0)
            ++later;
        // Once the reserved block of ids is used up, no new one can be drawn.
        if (reply != "250 OK") {
            EXPECT_EQ(reply, "451 VORN_SMTP_Server No message number available, try again later") << i;
        }
    }
    EXPECT_LT(slowest, 2000) << "one mail took that long while the catalogue was locked";
    EXPECT_GE(taken, 50);
    ASSERT_TRUE(locker.waitForFinished(10000));
    EXPECT_TRUE(hub.waitForLine("to 6002: During the lock 0", 10000));
    EXPECT_TRUE(pumpUntil([&] { return app.value("SELECT COUNT(*) FROM HXSLog").toInt() > rowsBefore + taken; },
                          10000));
    std::cout << "locked catalogue: " << taken << " taken, " << later << " answered 451, slowest mail " << slowest
              << " ms\n";
    EXPECT_EQ(app.terminate(), 0);
}

TEST_F(EndToEnd, TheWindowedProgramServesAndClosesLikeTheService)
{
    ASSERT_TRUE(app.startWindowed({"--screenshots-delay", "soon"}));
    EXPECT_EQ(app.waitForExit(), 2);
    EXPECT_NE(app.errorText().find("--screenshots-delay takes milliseconds"), std::string::npos) << app.errorText();

    // On a real X server of a small laptop's size, whose connection starts
    // threads of its own: pictures at once, then the window closes itself.
    // Each window, with its caption above it, fits the screen.
    XvfbDisplay x("1366x768x24");
    ASSERT_FALSE(x.display().isEmpty()) << x.errorText().toStdString();
    const QString pictures = QString::fromStdString(dir.file("pictures"));
    ASSERT_TRUE(app.startWindowed({"--screenshots", pictures, "--screenshots-delay", "0"}, x.display()));
    EXPECT_EQ(app.waitForExit(30000), 0) << app.errorText();
    for (const char* name : {"main", "main-settings", "main-testing", "tcp-setup", "hub-link"}) {
        const QImage picture(QDir(pictures).absoluteFilePath(QString(name) + ".png"));
        ASSERT_FALSE(picture.isNull()) << name;
        EXPECT_LE(picture.width(), 1366) << name;
        EXPECT_LE(picture.height(), 768) << name;
    }

    ASSERT_TRUE(hub.startOn(hubPort));
    ASSERT_TRUE(app.startWindowed({}, x.display()));
    ASSERT_TRUE(hub.waitForLine("RX READY", 20000)) << app.errorText();
    EXPECT_EQ(sendMail(smtpPort, pagerXml("4004", "From the windows")), "250 OK");
    EXPECT_TRUE(hub.waitForLine("to 4004: From the windows", 10000));
    // A stop signal closes the windows with the logoff.
    EXPECT_EQ(app.terminate(), 0) << app.errorText();
    EXPECT_TRUE(hub.waitForLine("RX 1002 logoff"));
    EXPECT_EQ(app.rowState(), "00");
    EXPECT_NE(app.smtpLog().find("Application has initiated a close."), std::string::npos);

    // So the next start finds its row free.
    ASSERT_TRUE(app.start());
    EXPECT_TRUE(app.waitForLine("s01 listening on", 20000)) << app.errorText();
}

}  // namespace
}  // namespace smtpin::test
