#include "SmtpinProcess.h"

#include "support/TempDir.h"
#include "support/TestClient.h"

#include <QDir>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include <csignal>

namespace smtpin::test {

namespace {

const QString kConnection = QStringLiteral("e2e-side");

QSqlDatabase side(const std::string& dataDir)
{
    QSqlDatabase db = QSqlDatabase::contains(kConnection) ? QSqlDatabase::database(kConnection, false)
                                                          : QSqlDatabase::addDatabase("QSQLITE", kConnection);
    db.setDatabaseName(QDir(QString::fromStdString(dataDir)).absoluteFilePath("HXSMKII.sqlite"));
    db.open();
    return db;
}

}  // namespace

SmtpinProcess::SmtpinProcess(std::string dataDir) : dataDir_(std::move(dataDir))
{
    QObject::connect(&process_, &QProcess::readyReadStandardOutput, [this] { read(); });
    QObject::connect(&process_, &QProcess::readyReadStandardError,
                     [this] { errors_ += process_.readAllStandardError().toStdString(); });
}

SmtpinProcess::~SmtpinProcess()
{
    kill();
    if (QSqlDatabase::contains(kConnection)) {
        QSqlDatabase::database(kConnection, false).close();
        QSqlDatabase::removeDatabase(kConnection);
    }
}

QString SmtpinProcess::program() { return QStringLiteral(SMTPIN_PATH); }

bool SmtpinProcess::prepare(int smtpPort, int hubPort)
{
    QProcess init;
    init.start(program(), {"--init", "--data-dir", QString::fromStdString(dataDir_)});
    if (!init.waitForFinished(20000) || init.exitCode() != 0)
        return false;
    return exec("UPDATE HXSClientConfig SET [Value] = ? WHERE [Parameter] = 'SMTPPORT'", {QString::number(smtpPort)}) &&
           exec("UPDATE HXSSystem SET [Value] = ? WHERE [Description] = 'Remote Port'", {QString::number(hubPort)}) &&
           exec("UPDATE HXSTCPClient SET [HubWait] = 2");
}

bool SmtpinProcess::exec(const std::string& sql, const std::vector<QVariant>& values)
{
    QSqlDatabase db = side(dataDir_);
    QSqlQuery q(db);
    q.prepare(QString::fromStdString(sql));
    for (const auto& v : values)
        q.addBindValue(v);
    const bool ok = q.exec();
    if (!ok)
        errors_ += "side statement failed: " + q.lastError().text().toStdString() + "\n";
    return ok;
}

QVariant SmtpinProcess::value(const std::string& sql)
{
    QSqlDatabase db = side(dataDir_);
    QSqlQuery q(db);
    if (!q.exec(QString::fromStdString(sql)) || !q.next())
        return {};
    return q.value(0);
}

bool SmtpinProcess::start(const QStringList& extraArgs)
{
    QStringList args{"--headless", "--data-dir", QString::fromStdString(dataDir_)};
    args += extraArgs;
    forgetOutput();
    if (launcher_.isEmpty())
        process_.start(program(), args);
    else
        process_.start(launcher_.front(), launcher_.mid(1) + QStringList{program()} + args);
    return process_.waitForStarted(10000);
}

bool SmtpinProcess::startWindowed(const QStringList& extraArgs, const QString& display)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (display.isEmpty()) {
        env.insert("QT_QPA_PLATFORM", "offscreen");
    } else {
        env.remove("QT_QPA_PLATFORM");
        env.insert("DISPLAY", display);
    }
    process_.setProcessEnvironment(env);
    forgetOutput();
    process_.start(program(), QStringList{"--data-dir", QString::fromStdString(dataDir_)} + extraArgs);
    return process_.waitForStarted(10000);
}

std::string SmtpinProcess::rowState()
{
    return value("SELECT State || Available FROM HXSClient WHERE Device = 'S01'").toString().toStdString();
}

std::string SmtpinProcess::applicationLog() const { return TempDir::read(dataDir_ + "/logs/system_log_S01.txt"); }

std::string SmtpinProcess::smtpLog() const { return TempDir::read(dataDir_ + "/logs/system_log_email_S01.txt"); }

void SmtpinProcess::forgetOutput()
{
    pending_.clear();
    lines_.clear();
    errors_.clear();
}

void SmtpinProcess::read()
{
    pending_ += process_.readAllStandardOutput().toStdString();
    std::size_t from = 0;
    for (std::size_t end; (end = pending_.find('\n', from)) != std::string::npos; from = end + 1)
        lines_.push_back(pending_.substr(from, end - from));
    pending_.erase(0, from);
}

std::vector<std::string> SmtpinProcess::lines()
{
    read();
    return lines_;
}

int SmtpinProcess::count(const std::string& substring)
{
    int n = 0;
    for (const auto& l : lines())
        n += l.find(substring) != std::string::npos ? 1 : 0;
    return n;
}

bool SmtpinProcess::waitForLine(const std::string& substring, int timeoutMs)
{
    return pumpUntil([&] { return count(substring) > 0; }, timeoutMs);
}

std::string SmtpinProcess::errorText()
{
    errors_ += process_.readAllStandardError().toStdString();
    return errors_;
}

int SmtpinProcess::waitForExit(int timeoutMs)
{
    if (!pumpUntil([&] { return !running(); }, timeoutMs))
        return -1;
    return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
}

int SmtpinProcess::terminate(int timeoutMs)
{
    if (!running())
        return process_.exitCode();
    ::kill(static_cast<pid_t>(process_.processId()), SIGTERM);
    return waitForExit(timeoutMs);
}

void SmtpinProcess::kill()
{
    if (running()) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

std::string sendMail(int port, const std::string& message) { return sendMailData(port, message + "\r\n.\r\n"); }

std::string sendMailData(int port, const std::string& data)
{
    TestClient c;
    if (!c.connectTo(port))
        return "";
    std::size_t seen = 0;
    auto reply = [&](const std::string& expect) -> std::string {
        std::string got;
        pumpUntil([&] {
            const auto l = c.lines();
            if (l.size() > seen) {
                got = l[seen];
                return true;
            }
            return false;
        }, 10000);
        ++seen;
        return got.rfind(expect, 0) == 0 ? std::string() : (got.empty() ? "(no reply)" : got);
    };
    if (auto bad = reply("220"); !bad.empty())
        return bad;
    for (const char* cmd : {"HELO test\r\n", "MAIL FROM:<dispatch@test>\r\n", "RCPT TO:<pager@test>\r\n"}) {
        c.send(cmd);
        if (auto bad = reply("250"); !bad.empty())
            return bad;
    }
    c.send("DATA\r\n");
    if (auto bad = reply("354"); !bad.empty())
        return bad;
    c.send(data);
    std::string end;
    pumpUntil([&] {
        const auto l = c.lines();
        if (l.size() > seen) {
            end = l[seen];
            return true;
        }
        return false;
    }, 10000);
    c.send("QUIT\r\n");
    return end;
}

Burst sendBurst(int port, int count, int senders)
{
    QProcess py;
    py.start("python3", {QStringLiteral(BURST_SENDER), QString::number(port), QString::number(count),
                         QString::number(senders), "25"});
    Burst b;
    if (!py.waitForStarted(10000) || !pumpUntil([&] { return py.state() == QProcess::NotRunning; }, 120000)) {
        b.refused = count;
        return b;
    }
    for (const QByteArray& line : py.readAllStandardOutput().split('\n')) {
        if (line.startsWith("OK "))
            b.accepted.push_back(line.mid(3).toStdString());
        else if (!line.isEmpty())
            ++b.refused;
    }
    return b;
}

bool BurstProcess::start(int port, int count, int senders, double pace, double retry)
{
    process_.start("python3", {QStringLiteral(BURST_SENDER), QString::number(port), QString::number(count),
                               QString::number(senders), "25", QString::number(pace), QString::number(retry)});
    return process_.waitForStarted(10000);
}

Burst BurstProcess::result()
{
    Burst b;
    for (const QByteArray& line : process_.readAllStandardOutput().split('\n')) {
        if (line.startsWith("OK "))
            b.accepted.push_back(line.mid(3).toStdString());
        else if (!line.isEmpty())
            ++b.refused;
    }
    return b;
}

void Arrivals::add(const std::vector<std::string>& switchLines)
{
    for (const auto& line : switchLines) {
        const bool fresh = line.rfind("RX NEWMESS ", 0) == 0;
        if (!fresh && line.rfind("RX REPEAT ", 0) != 0)
            continue;
        const auto to = line.find(" to 7000: ");
        if (to == std::string::npos)
            continue;
        const std::size_t idAt = fresh ? 11 : 10;
        const std::string id = line.substr(idAt, line.find(' ', idAt) - idAt);
        byText[line.substr(to + 10)].insert(id);
        if (fresh)
            ++newIds[id];
        else
            ++repeats;
    }
}

std::string pagerXml(const std::string& pin, const std::string& text, const std::string& hash, const std::string& extra)
{
    std::string xml = "<PagerMessage>";
    if (!pin.empty())
        xml += "<PagerPin>" + pin + "</PagerPin>";
    xml += "<MessageHash>" + hash + "</MessageHash><Message>" + text +
           "</Message><MachineName>MAILHOST</MachineName><InterfaceAddress>10.1.2.3</InterfaceAddress>" + extra +
           "</PagerMessage>";
    return "From: dispatch@test\r\nTo: pager@test\r\nSubject: page\r\n\r\n" + xml;
}

}  // namespace smtpin::test
