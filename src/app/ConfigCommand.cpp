#include "ConfigCommand.h"

#include "core/Installation.h"
#include "core/ParameterChecks.h"
#include "core/SettingsFile.h"
#include "db/Parameters.h"
#include "platform/Text.h"

#include <QFile>
#include <QHostAddress>
#include <QNetworkInterface>

#include <ostream>

#include <sys/stat.h>
#include <unistd.h>

namespace smtpin::app {
namespace {

using db::Home;
using db::Parameter;

// The client row this installation holds (noted in the data folder's lock
// at start-up), or the only client row of the catalogue.
std::string whichClient(core::Installation& install, std::string& why)
{
    QFile lock(QString::fromStdString(install.lockFile()));
    if (lock.open(QIODevice::ReadOnly)) {
        const std::string note = lock.read(1024).toStdString();
        const std::string device = note.substr(0, note.find('\t'));
        if (!device.empty() && device.find('\n') == std::string::npos)
            return device;
    }
    std::vector<std::string> devices;
    try {
        db::Recordset rs = install.catalogue().db.OpenRecordset("SELECT [Device] FROM HXSClient ORDER BY [Device]");
        while (rs.next() && devices.size() < 1000)
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

std::string systemRow(db::CatalogueConnection& db, const Parameter& p)
{
    db::Recordset rs = db.OpenRecordset("SELECT [Value] FROM HXSSystem WHERE ([Description] = ?)", {db::qs(p.key)});
    return rs.next() ? rs.text("Value") : std::string();
}

void writeSystemRow(db::CatalogueConnection& db, const Parameter& p, const std::string& value)
{
    db::CatalogueConnection::Transaction transaction(db);
    if (db.Execute("UPDATE HXSSystem SET [Value] = ? WHERE ([Description] = ?)", {db::qs(value), db::qs(p.key)}) == 0)
        db.Execute("INSERT INTO HXSSystem ([Description], [Value]) VALUES (?, ?)", {db::qs(p.key), db::qs(value)});
    transaction.commit();
}

std::string group(const Parameter& p) { return std::string(p.key).substr(0, std::string(p.key).find('/')); }
std::string key(const Parameter& p) { return std::string(p.key).substr(std::string(p.key).find('/') + 1); }

// Why this user may not change the settings file: it is root's (0640
// root:smtpin when installed), so the service cannot redirect itself.
std::optional<std::string> mayNotWrite(const std::string& file)
{
    struct stat st {};
    if (geteuid() == 0 || ::stat(file.c_str(), &st) != 0 || st.st_uid == geteuid())
        return std::nullopt;
    return "it lives in the settings file " + file + ", which only root changes (run the command as root)";
}

void describe(std::ostream& out, const Parameter& p, const std::string& value)
{
    out << p.name << "=" << value << "\n    " << p.about << "; " << p.range << "; when empty: " << p.whenEmpty
        << "; in the " << db::HomeText(p) << "; read " << p.whenRead << "\n";
}

// A listen address that is none of this machine's cannot be bound; it may
// be one that comes up later, so it is said, not refused.
void warnIfNotHere(std::ostream& err, const Parameter& p, const std::string& value)
{
    if (std::string_view(p.name) != "SMTPIP")
        return;
    const QHostAddress address(QString::fromStdString(std::string(text::Trim(value))));
    if (address == QHostAddress::AnyIPv4 || address == QHostAddress::AnyIPv6 || address.isLoopback())
        return;
    for (const QHostAddress& mine : QNetworkInterface::allAddresses())
        if (mine.isEqual(address, QHostAddress::TolerantConversion))
            return;
    err << "smtpin: warning: " << value << " is no address of this machine now; the listener cannot open on it "
        << "until it is (the main window and the status line say so)\n";
}

class Command {
public:
    Command(core::Installation& install, const std::string& device, std::ostream& out, std::ostream& err)
        : install_(install), device_(device), out_(out), err_(err)
    {
    }

    int run(const std::string& verb, const Parameter* p, const std::string& value);

private:
    bool needsCatalogue(const std::string& verb, const Parameter* p) const
    {
        return verb == "list" || p->home != Home::SettingsFile;
    }
    std::string read(const Parameter& p);
    int set(const Parameter& p, const std::string& value);
    int openCatalogue();

    core::Installation& install_;
    std::string device_;
    std::ostream& out_;
    std::ostream& err_;
};

int Command::openCatalogue()
{
    std::string why;
    auto& catalogue = install_.catalogue();
    if (!catalogue.Open(&why)) {
        err_ << "smtpin: the catalogue cannot be opened (see [Database] in " << install_.configFile() << "): " << why
             << "\n";
        return 1;
    }
    catalogue.registration.setClientId(device_.empty() ? whichClient(install_, why) : device_);
    if (catalogue.registration.clientId().empty()) {
        err_ << "smtpin: " << why << "\n";
        return 1;
    }
    return 0;
}

std::string Command::read(const Parameter& p)
{
    switch (p.home) {
    case Home::ClientRow: return install_.catalogue().config.ReadClientConfig(p.key);
    case Home::SystemRow: return systemRow(install_.catalogue().db, p);
    case Home::SettingsFile: return install_.settingsValue(p.key, p.maxLength).value_or("");
    }
    return {};
}

int Command::set(const Parameter& p, const std::string& value)
{
    auto& catalogue = install_.catalogue();
    const std::string& client = catalogue.registration.clientId();
    switch (p.home) {
    case Home::ClientRow:
        if (!catalogue.config.SaveClientConfig(p.key, value)) {
            err_ << "smtpin: " << p.name << " could not be written to the catalogue\n";
            return 1;
        }
        out_ << p.name << "=" << value << " for client " << client;
        break;
    case Home::SystemRow:
        // A shared catalogue is its administrators': these rows re-point every client.
        if (catalogue.odbc()) {
            err_ << "smtpin: " << p.name << " not changed: the HXSSystem row '" << p.key
                 << "' is shared by every client of the catalogue; its administrator changes it:\n    UPDATE HXSSystem SET "
                 << "[Value] = '" << db::CatalogueConnection::QuoteSQL(value) << "' WHERE [Description] = '" << p.key
                 << "'\n";
            return 2;
        }
        try {
            writeSystemRow(catalogue.db, p, value);
        } catch (const db::DatabaseFault& f) {
            err_ << "smtpin: " << p.name << " could not be written to the catalogue: " << f.description << "\n";
            return 1;
        }
        out_ << p.name << "=" << value << " for every client of the catalogue";
        break;
    case Home::SettingsFile: {
        std::string why;
        if (!core::SetSettingsFileValue(install_.configFile(), group(p), key(p), value, &why)) {
            err_ << "smtpin: " << p.name << " not changed: " << why << "\n";
            return 1;
        }
        out_ << p.name << "=" << value << " in " << install_.configFile();
        break;
    }
    }
    out_ << " (read " << p.whenRead << ": restart smtpin to use it)\n";
    return 0;
}

int Command::run(const std::string& verb, const Parameter* p, const std::string& value)
{
    if (needsCatalogue(verb, p))
        if (const int failed = openCatalogue())
            return failed;
    if (verb == "list") {
        out_ << "# client " << install_.catalogue().registration.clientId() << "\n";
        for (const Parameter& each : db::Parameters())
            describe(out_, each, read(each));
        return 0;
    }
    if (verb == "get") {
        out_ << read(*p) << "\n";
        return 0;
    }
    return set(*p, value);
}

}  // namespace

int RunConfigCommand(const std::string& dataDir, const std::string& configFile, const std::vector<std::string>& words,
                     const std::string& device, std::ostream& out, std::ostream& err)
{
    const std::string verb = words.size() > 1 ? words[1] : "";
    const bool usage = !((verb == "list" && words.size() == 2) || (verb == "get" && words.size() == 3) ||
                         (verb == "set" && words.size() == 4));
    if (usage) {
        err << "smtpin: use: smtpin config list | config get NAME | config set NAME VALUE\n";
        return 2;
    }
    const Parameter* p = words.size() > 2 ? db::FindParameter(words[2]) : nullptr;
    if (words.size() > 2 && !p) {
        err << "smtpin: " << words[2] << " is no setting of smtpin; smtpin config list shows them\n";
        return 2;
    }
    std::string value = words.size() > 3 ? words[3] : "";
    core::Installation install(dataDir, configFile);
    if (verb == "set") {
        if (const auto why = core::CheckParameter(*p, value)) {
            err << "smtpin: " << p->name << " not changed: " << *why << " (" << p->range << ")\n";
            return 2;
        }
        if (p->home == Home::SettingsFile)
            if (const auto why = mayNotWrite(install.configFile())) {
                err << "smtpin: " << p->name << " not changed: " << *why << "\n";
                return 2;
            }
        value = core::NormalParameterValue(*p, value);
        warnIfNotHere(err, *p, value);
    }
    // A fresh installation is made as the service's first start makes it.
    const auto before = install.Contents();
    std::string why;
    if (!install.Prepare(&why)) {
        err << "smtpin: " << why << "\n";
        return 1;
    }
    const int status = Command(install, device, out, err).run(verb, p, value);
    install.HandOverCreated(before);
    return status;
}

}  // namespace smtpin::app
