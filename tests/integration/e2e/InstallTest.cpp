// The real program as an administrator meets it: a settings file it cannot
// use, the config command on a fresh installation, file modes, text on the
// terminal, and a status port flooded while pages come in.
#include "EndToEnd.h"

#include "platform/Text.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <tuple>

namespace smtpin::test {
namespace {

struct Outcome {
    int code = -1;
    std::string out, err;
};

// One run of the program to its end: a command that ends by itself.
Outcome smtpin(const QStringList& args, const QStringList& launcher = {},
           const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
{
    QProcess p;
    p.setProcessEnvironment(env);
    if (launcher.isEmpty())
        p.start(SmtpinProcess::program(), args);
    else
        p.start(launcher.front(), launcher.mid(1) + QStringList{SmtpinProcess::program()} + args);
    p.waitForFinished(30000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput().toStdString(),
            p.readAllStandardError().toStdString()};
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class Install : public EndToEnd {
protected:
    Outcome config(const QStringList& words, const std::string& dataDir = {})
    {
        return smtpin(QStringList{"--data-dir", QString::fromStdString(dataDir.empty() ? dir.path() : dataDir),
                                  "config"} + words);
    }
};

TEST_F(Install, ASettingsFileThatCannotBeUsedStopsStartUpNamingIt)
{
    const std::string ini = dir.file("smtpin.ini");
    const std::string good = TempDir::read(ini);
    TempDir::write(ini, "[Database\nDriver=QODBC\n");
    for (const QStringList& args : {QStringList{"--headless"}, QStringList{"--init"}}) {
        const Outcome r = smtpin(args + QStringList{"--data-dir", QString::fromStdString(dir.path())});
        EXPECT_EQ(r.code, 1);
        EXPECT_TRUE(has(r.err, "the settings file " + ini + " does not parse")) << r.err;
        EXPECT_FALSE(has(r.out, "listening on"));
    }
    const Outcome c = config({"get", "SMTPPORT"});
    EXPECT_EQ(c.code, 1);
    EXPECT_TRUE(has(c.err, ini + " does not parse")) << c.err;

    // Unreadable for the account the service runs as.
    TempDir::write(ini, good);
    ::chmod(ini.c_str(), 0600);
    QStringList launcher;
    if (geteuid() == 0) {
        ::chmod(dir.path().c_str(), 0755);
        ASSERT_EQ(::chown(dir.path().c_str(), 65534, 65534), 0);
        launcher = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    } else {
        ::chmod(ini.c_str(), 0);
    }
    const Outcome r = smtpin({"--headless", "--data-dir", QString::fromStdString(dir.path())}, launcher);
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(has(r.err, "the settings file " + ini + " cannot be read")) << r.err;
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(dir.file("logs")))) << "it ran on the defaults";
}

TEST_F(Install, EverySettingIsSetFromTheCommandEvenOnAFreshInstallation)
{
    TempDir fresh;
    const std::string data = fresh.file("data");
    const int newHub = HubSimProcess::freePort();
    const int statusPort = HubSimProcess::freePort();
    struct Step {
        QStringList words;
        int code;
        const char* says;   // in the output or the error text
    };
    const Step steps[] = {
        {{"set", "SMTPPORT", "-1"}, 2, "SMTPPORT not changed: \"-1\" is not a whole number from 0 to 65535"},
        {{"set", "SWITCH_PORT", QString::number(newHub)}, 0, "for every client of the catalogue"},
        {{"get", "switch_port"}, 0, ""},
        {{"set", "SMTPPORT", QString::number(smtpPort)}, 0, "for client S01"},
        {{"set", "STATUS_LISTEN", "127.0.0.1:" + QString::number(statusPort)}, 0, "smtpin.ini"},
        {{"set", "SMTPIP", "10.9.9.9"}, 0, "warning: 10.9.9.9 is no address of this machine"},
        {{"set", "SMTPIP", "127.0.0.1"}, 0, "SMTPIP=127.0.0.1"},
        {{"set", "TCPTIMEOUT", "50"}, 2, "not a whole number from 1 to 20"},
        {{"list"}, 0, "SWITCH_ADDRESS=127.0.0.1"},
    };
    for (const Step& s : steps) {
        const Outcome r = config(s.words, data);
        EXPECT_EQ(r.code, s.code) << s.words.join(' ').toStdString() << ": " << r.err;
        EXPECT_TRUE(has(r.out + r.err, s.says)) << s.words.join(' ').toStdString() << ": " << r.out << r.err;
        if (s.words.front() == "get") {
            EXPECT_EQ(r.out, std::to_string(newHub) + "\n");
        }
    }
    // The settings file keeps its comments; the key is set where its default stood.
    const std::string ini = TempDir::read(data + "/smtpin.ini");
    EXPECT_TRUE(has(ini, ";Listen=127.0.0.1:9125\nListen=127.0.0.1:" + std::to_string(statusPort) + "\n")) << ini;

    // The next start uses them: the switch on its new port sees the login.
    SmtpinProcess fromConfig(data);
    ASSERT_TRUE(hub.startOn(newHub));
    ASSERT_TRUE(fromConfig.start());
    ASSERT_TRUE(hub.waitForLine("RX READY", 20000)) << fromConfig.errorText();
    EXPECT_TRUE(fromConfig.waitForLine("listening on 127.0.0.1:" + std::to_string(smtpPort)));
    EXPECT_EQ(sendMail(smtpPort, pagerXml("7201", "configured")), "250 OK");
    EXPECT_TRUE(hub.waitForLine("to 7201: configured"));
    EXPECT_EQ(fromConfig.terminate(), 0);
}

// A shared catalogue's switch rows re-point every client: its administrator
// changes them. The embedded one is this installation's own.
TEST_F(Install, TheSwitchRowsOfASharedCatalogueAreLeftToItsAdministrator)
{
    std::string ini = TempDir::read(dir.file("smtpin.ini"));
    ini.replace(ini.find("[Database]\n"), 11,
                "[Database]\nDriver=QODBC\nConnectionString=\"Driver=SQLite3;Database=" + dir.file("HXSMKII.sqlite") +
                    "\"\nServerNow=datetime('now','localtime')\n");
    TempDir::write(dir.file("smtpin.ini"), ini);
    const Outcome refused = config({"set", "SWITCH_PORT", "7000"});
    EXPECT_EQ(refused.code, 2) << refused.out << refused.err;
    EXPECT_TRUE(has(refused.err, "UPDATE HXSSystem SET [Value] = '7000' WHERE [Description] = 'Remote Port'"))
        << refused.err;
    EXPECT_EQ(config({"get", "SWITCH_PORT"}).out, std::to_string(hubPort) + "\n");
    // The client's own rows are its own, on any catalogue.
    EXPECT_EQ(config({"set", "MAX_SOCKETS", "30"}).code, 0);
    EXPECT_EQ(config({"get", "MAX_SOCKETS"}).out, "30\n");
}

// Run as root on a folder the service owns, the command leaves nothing the
// service could not use.
TEST_F(Install, WhatTheCommandCreatesAsRootBelongsToTheDataFolderOwner)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    TempDir fresh;
    const std::string data = fresh.file("data");
    ASSERT_EQ(::mkdir(data.c_str(), 0750), 0);
    ASSERT_EQ(::chown(data.c_str(), 65534, 65534), 0);
    EXPECT_EQ(config({"set", "SMTPPORT", "2626"}, data).code, 0);
    int seen = 0;
    QDirIterator it(QString::fromStdString(data), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        struct stat st {};
        const QString path = it.next();
        ASSERT_EQ(::lstat(path.toLocal8Bit().constData(), &st), 0);
        EXPECT_EQ(st.st_uid, 65534u) << path.toStdString();
        EXPECT_EQ(st.st_gid, 65534u) << path.toStdString();
        ++seen;
    }
    EXPECT_GE(seen, 2);   // the settings file and the catalogue
}

// Page text is in the spool, the catalogue and the logs: none of it, nor
// the settings, is for other users, whatever umask the service starts with.
TEST_F(Install, NothingTheProgramMakesIsOpenToOtherUsers)
{
    TempDir fresh;
    const QString data = QString::fromStdString(fresh.file("data"));
    const QStringList umask022{"sh", "-c", "umask 022; exec \"$0\" \"$@\""};
    ASSERT_EQ(smtpin({"--init", "--data-dir", data}, umask022).code, 0);
    SmtpinProcess app2(data.toStdString());
    ASSERT_TRUE(app2.exec("UPDATE HXSClientConfig SET [Value] = ? WHERE [Parameter] = 'SMTPPORT'", {smtpPort}));
    ASSERT_TRUE(app2.exec("UPDATE HXSSystem SET [Value] = ? WHERE [Description] = 'Remote Port'", {hubPort}));
    app2.setLauncher(umask022);
    ASSERT_TRUE(hub.startOn(hubPort));
    ASSERT_TRUE(app2.start());
    ASSERT_TRUE(app2.waitForLine("listening on")) << app2.errorText();
    EXPECT_EQ(sendMail(smtpPort, pagerXml("7202", "private")), "250 OK");
    ASSERT_TRUE(hub.waitForLine("to 7202: private"));
    int seen = 0;
    QDirIterator it(data, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    for (QString path = data; !path.isEmpty(); path = it.hasNext() ? it.next() : QString()) {
        struct stat st {};
        ASSERT_EQ(::stat(path.toLocal8Bit().constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 0027, 0u) << path.toStdString() << " is " << std::oct << (st.st_mode & 0777);
        ++seen;
    }
    EXPECT_GE(seen, 7);   // the folder, settings, catalogue and its WAL, spool, logs and their folder, lock
    EXPECT_EQ(app2.terminate(), 0);
}

// What the terminal and the journal get: UTF-8, LF, whatever came in; and an
// orderly stop that says so.
TEST_F(Install, StandardOutputIsUtf8AndAStopIsALogoff)
{
    startBoth();
    ASSERT_TRUE(app.waitForLine("link: logged in"));
    EXPECT_EQ(sendMail(smtpPort, pagerXml("7203", "Feu rue de l'\xC3\x89glise")), "250 OK");
    EXPECT_EQ(sendMail(smtpPort, pagerXml("7204", "Caf\xE9 cr\xE8me")), "250 OK");
    TestClient raw;
    ASSERT_TRUE(raw.connectTo(smtpPort));
    raw.send("HELO caf\xE9\r\nQUIT\r\n");
    ASSERT_TRUE(hub.waitForLine("to 7204:"));
    ASSERT_TRUE(pumpUntil([&] { return app.count("QUIT") > 0; }, 5000));
    EXPECT_EQ(app.terminate(), 0);
    std::string all;
    for (const std::string& line : app.lines())
        all += line + "\n";
    EXPECT_TRUE(text::IsUtf8(all));
    EXPECT_FALSE(has(all, "\r"));
    EXPECT_TRUE(has(all, "Feu rue de l'\xC3\x89glise")) << "the page as the pager gets it";
    EXPECT_TRUE(has(all, "Caf\xC3\xA9 cr\xC3\xA8me"));
    EXPECT_TRUE(has(all, "caf\xC3\xA9")) << "a wire line that is no UTF-8 is read in the code page";
    EXPECT_TRUE(has(all, "link: logged off"));
    EXPECT_FALSE(has(all, "link: lost"));
    EXPECT_EQ(app.count("link: retrying"), 0);
    EXPECT_TRUE(has(app.applicationLog(), "  HUB: Logged off from the switch"));
    EXPECT_FALSE(has(app.applicationLog(), "Link to the switch lost"));
}

// At the unit's old limit of 1,024 descriptors, a flood of idle connections
// to the status port must leave the SMTP side its own.
TEST_F(Install, AFloodOfStatusConnectionsDoesNotStopPaging)
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 4096);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    ASSERT_GE(limit.rlim_cur, 1300u) << "the test needs descriptors of its own";
    const int statusPort = HubSimProcess::freePort();
    std::string ini = TempDir::read(dir.file("smtpin.ini"));
    ini.replace(ini.find(";Listen=127.0.0.1:9125"), 22, "Listen=127.0.0.1:" + std::to_string(statusPort));
    TempDir::write(dir.file("smtpin.ini"), ini);
    app.setLauncher({"prlimit", "--nofile=1024:1024", "--"});
    startBoth();

    // In batches the listen queue takes at once, each connect finished
    // (taken, or taken and closed) before the next: the whole flood stands
    // within a second or two, inside the idle limit.
    std::vector<int> flood;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(statusPort));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    while (flood.size() < 1100) {
        std::vector<pollfd> batch;
        for (int i = 0; i < 25; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            ASSERT_GE(fd, 0);
            ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
            flood.push_back(fd);
            batch.push_back({fd, POLLOUT, 0});
        }
        for (int round = 0; round < 50 && !batch.empty(); ++round) {
            ::poll(batch.data(), batch.size(), 100);
            std::erase_if(batch, [](const pollfd& p) { return p.revents != 0; });
        }
        ASSERT_TRUE(batch.empty()) << batch.size() << " connects still open";
    }
    int accepted = 0;
    for (int i = 0; i < 20; ++i)
        accepted += sendMail(smtpPort, pagerXml(std::to_string(7300 + i), "flood " + std::to_string(i))) == "250 OK";
    EXPECT_EQ(accepted, 20);
    EXPECT_TRUE(hub.waitForCount("RX NEWMESS", 20, 10000));
    EXPECT_EQ(app.count("Too many open files"), 0);
    for (int fd : flood)
        ::close(fd);
    EXPECT_EQ(app.terminate(), 0);
}

TEST(Display, AWindowedStartWithoutADisplaySaysSoAndEnds)
{
    TempDir dir;
    for (const char* display : {"", ":93"}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("QT_QPA_PLATFORM");
        env.remove("WAYLAND_DISPLAY");
        if (*display)
            env.insert("DISPLAY", display);
        else
            env.remove("DISPLAY");
        const Outcome r = smtpin({"--data-dir", QString::fromStdString(dir.path())}, {}, env);
        EXPECT_EQ(r.code, 1) << display;
        EXPECT_TRUE(has(r.err, "no display found")) << r.err;
        EXPECT_TRUE(has(r.err, "--headless runs without one")) << r.err;
    }
}

}  // namespace
}  // namespace smtpin::test
