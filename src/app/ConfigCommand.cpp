#include "ConfigCommand.h"

#include "core/ClientParameters.h"
#include "db/CatalogueConnection.h"
#include "platform/Clock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <ostream>

namespace smtpin::app {
namespace {

// The client row this installation holds (noted in the data folder's lock
// at start-up), or the only client row of the catalogue.
std::string whichClient(core::Client& client, const std::string& dataDir, std::string& why)
{
    QFile lock(QDir(QString::fromStdString(dataDir)).absoluteFilePath("smtpin.lock"));
    if (lock.open(QIODevice::ReadOnly)) {
        const std::string note = lock.readAll().toStdString();
        const std::string device = note.substr(0, note.find('\t'));
        if (!device.empty() && device.find('\n') == std::string::npos)
            return device;
    }
    std::vector<std::string> devices;
    try {
        db::Recordset rs = client.db().OpenRecordset("SELECT [Device] FROM HXSClient ORDER BY [Device]");
        while (rs.next())
            devices.push_back(rs.text("Device"));
    } catch (const db::DatabaseFault& f) {
        why = "the client table cannot be read: " + f.description;
        return {};
    }
    if (devices.size() == 1)
        return devices.front();
    why = "name the client with --device (the catalogue has " + std::to_string(devices.size()) + " clients";
    for (size_t i = 0; i < devices.size() && i < 10; ++i)
        why += (i == 0 ? ": " : ", ") + devices[i];
    why += ")";
    return {};
}

void describe(std::ostream& out, const core::ClientParameter& p, const std::string& value)
{
    out << p.name << "=" << value << "\n    " << p.about << "; " << p.range << "; default " << p.defaultValue
        << "; read " << p.whenRead << "\n";
}

}  // namespace

int RunConfigCommand(const core::Client::Options& options, const std::vector<std::string>& words,
                     const std::string& device, std::ostream& out, std::ostream& err)
{
    const std::string verb = words.size() > 1 ? words[1] : "";
    const bool usage = !((verb == "list" && words.size() == 2) || (verb == "get" && words.size() == 3) ||
                         (verb == "set" && words.size() == 4));
    if (usage) {
        err << "smtpin: use: smtpin config list | config get NAME | config set NAME VALUE\n";
        return 2;
    }
    const core::ClientParameter* parameter = words.size() > 2 ? core::FindClientParameter(words[2]) : nullptr;
    if (words.size() > 2 && !parameter) {
        err << "smtpin: " << words[2] << " is no client configuration parameter; smtpin config list shows them\n";
        return 2;
    }
    if (verb == "set") {
        if (const auto why = parameter->check(words[3])) {
            err << "smtpin: " << parameter->name << " not changed: " << *why << " (" << parameter->range << ")\n";
            return 2;
        }
    }
    if (!QDir(QString::fromStdString(options.dataDir)).exists()) {
        err << "smtpin: no data folder " << options.dataDir << "; name it with --data-dir\n";
        return 1;
    }
    SystemClock clock;
    core::Client client(clock, options);
    const db::CatalogueConnection::Location where = client.db().ReadLocation();
    if (where.driver == db::CatalogueConnection::Driver::SQLite &&
        !QFileInfo::exists(QString::fromStdString(where.databaseName))) {
        err << "smtpin: no catalogue at " << where.databaseName << "; start smtpin once (or smtpin --init) first\n";
        return 1;
    }
    if (!client.db().EnsureSQLDatabase()) {
        err << "smtpin: the catalogue cannot be opened; see [Database] in " << client.configFile() << "\n";
        return 1;
    }
    std::string why;
    client.registration().ClientId = device.empty() ? whichClient(client, options.dataDir, why) : device;
    if (client.registration().ClientId.empty()) {
        err << "smtpin: " << why << "\n";
        return 1;
    }
    if (verb == "list") {
        out << "# client " << client.registration().ClientId << "\n";
        for (const core::ClientParameter& p : core::ClientParameters())
            describe(out, p, client.config().ReadClientConfig(p.name));
        return 0;
    }
    if (verb == "get") {
        out << client.config().ReadClientConfig(parameter->name) << "\n";
        return 0;
    }
    if (!client.config().SaveClientConfig(parameter->name, words[3])) {
        err << "smtpin: " << parameter->name << " could not be written to the catalogue\n";
        return 1;
    }
    out << parameter->name << "=" << words[3] << " for client " << client.registration().ClientId << " (read "
        << parameter->whenRead << ": restart smtpin to use it)\n";
    return 0;
}

}  // namespace smtpin::app
