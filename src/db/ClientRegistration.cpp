#include "db/ClientRegistration.h"
#include "platform/Text.h"

#include "db/CatalogueConnection.h"
#include "log/SystemLog.h"
#include "platform/Dialogs.h"

#include <QString>

#include <algorithm>
#include <cctype>
#include <optional>
#include <vector>

namespace smtpin::db {
namespace {

bool sameFirstCharacter(const std::string& a, const std::string& b)
{
    return !a.empty() && !b.empty() &&
           std::tolower(static_cast<unsigned char>(a[0])) == std::tolower(static_cast<unsigned char>(b[0]));
}

const std::string kNotEnabled = "FATAL ERROR ! \rClient is not enabled in the HXSClient table";
const char* const kWhoAmIFailure = " LTV: Unable to access connection to determine WhoAmI.";

}  // namespace

ClientRegistration::ClientRegistration(CatalogueConnection& db, SystemLog& log, Dialogs& dialogs)
    : db_(db), log_(log), dialogs_(dialogs)
{
}

bool ClientRegistration::NoIdentity(const std::string& identifier)
{
    const std::string t(text::Trim(identifier, text::kSpace));
    return t.empty() || t == kNoClient;
}

bool ClientRegistration::drawBlock(std::int64_t& first, std::int64_t& last)
{
    const std::int32_t block = std::clamp(messIdBlock_, 1, kMaxMessIdBlock);
    const auto drawn = db_.guarded({"GSMI: Unable to access connection to database for next message id.",
                                    "GSMI: Unable to access database for next message id."},
                                   [&] {
                                       // Moved and read back in one transaction, so clients sharing the
                                       // catalogue never reserve the same ids.
                                       CatalogueConnection::Transaction transaction(db_);
                                       std::optional<std::int64_t> value;
                                       if (db_.Execute("UPDATE HXSSystem SET [Value] = [Value] + ? WHERE "
                                                       "([Description] = 'MessIdSystem')",
                                                       {block}) >= 1) {
                                           Recordset rs = db_.OpenRecordset(
                                               "SELECT [Value],[Description] FROM HXSSystem WHERE ([Description] = "
                                               "'MessIdSystem') ");
                                           if (rs.next())
                                               value = rs.int32("Value");
                                       }
                                       transaction.commit();
                                       return value;
                                   });
    if (!drawn)
        return false;
    if (!*drawn || **drawn - block + 1 < 1) {
        log_.ApplicationLine("GSMI: The catalogue has no message id counter (HXSSystem 'MessIdSystem')");
        return false;
    }
    last = **drawn;
    first = last - block + 1;
    log_.ApplicationLine("GSMI: Message ids " + std::to_string(first) + " to " + std::to_string(last) + " reserved");
    outOfIdsLogged_ = false;
    return true;
}

std::int32_t ClientRegistration::GetSystemMessageId()
{
    if (next_ > last_) {
        next_ = nextBlockFirst_;
        last_ = nextBlockLast_;
        nextBlockFirst_ = 1;
        nextBlockLast_ = 0;
    }
    if (next_ > last_ && !drawBlock(next_, last_)) {
        if (!outOfIdsLogged_)
            log_.ApplicationLine("GSMI: No message id left and none can be drawn: mail is refused until one can");
        outOfIdsLogged_ = true;
        return 0;
    }
    const auto id = static_cast<std::int32_t>(next_++);
    // The next block is drawn while a fifth of this one is left, so a short
    // outage of the catalogue does not stop intake.
    const std::int64_t reserve = std::max<std::int64_t>(1, std::clamp(messIdBlock_, 1, kMaxMessIdBlock) / 5);
    if (nextBlockFirst_ > nextBlockLast_ && last_ - next_ + 1 <= reserve)
        drawBlock(nextBlockFirst_, nextBlockLast_);
    return id;
}

void ClientRegistration::GetSystemSettings()
{
    remotePort_ = 6000;
    remoteAddress_.clear();
    db_.guarded({" GSS: Unable to access connection to database for next message id.",
                 " GSS: Unable to access database for next message id."},
                [&] {
                    {
                        Recordset rs =
                            db_.OpenRecordset("SELECT * FROM HXSSystem WHERE ([Description] = 'Remote Port') ");
                        if (rs.next())
                            remotePort_ = rs.int32("Value");
                    }
                    Recordset rs = db_.OpenRecordset("SELECT * FROM HXSSystem WHERE ([Description] = 'Remote Address') ");
                    if (rs.next())
                        remoteAddress_ = rs.text("Value");
                });
}

bool ClientRegistration::claim(const std::string& device, bool override)
{
    // A conditional update that must change exactly this one row: a client
    // that lost the race to another finds no free row left.
    std::string sql = "UPDATE HXSClient SET [State] = '1', [WatchDog] = ? WHERE ([Device] = ?) AND ([Enable] = '1')";
    if (!override)
        sql += " AND ([State] = '0')";
    holdsRow_ = db_.Execute(sql, {db_.timeValue(db_.clock().now()), qs(device)}) == 1;
    if (holdsRow_)
        tellClaim(device);
    return holdsRow_;
}

std::string ClientRegistration::LoadWhoAmI()
{
    const std::string request = clientId_;
    if (request.size() >= 2 && request.compare(request.size() - 2, 2, "**") == 0)
        return whoAmIPattern(request);
    return whoAmIComplete(request);
}

std::string ClientRegistration::whoAmIPattern(const std::string& pattern)
{
    return db_.guarded({kWhoAmIFailure}, [&]() -> std::string {
                  std::vector<std::string> free;
                  {
                      Recordset rs = db_.OpenRecordset(
                          "SELECT * FROM HXSClient WHERE ([Enable] = '1') AND ([State] = '0')  ORDER BY [Device] ASC");
                      while (rs.next())
                          free.push_back(rs.text("device"));
                  }
                  if (free.empty()) {
                      dialogs_.MsgBox(kNotEnabled, kDialogTitle);
                      return kNoClient;
                  }
                  for (const std::string& device : free) {
                      if (sameFirstCharacter(device, pattern) && claim(device, false)) {
                          log_.ApplicationLine("LWAI: Found inactive user id " + device);
                          return device;
                      }
                  }
                  return kNoClient;
              })
        .value_or(kNoClient);
}

std::string ClientRegistration::whoAmIComplete(const std::string& identifier)
{
    return db_.guarded({kWhoAmIFailure, nullptr, false}, [&] { return whoAmIClaim(identifier); }).value_or("");
}

std::string ClientRegistration::whoAmIClaim(const std::string& identifier)
{
    std::optional<std::string> free;
    {
        Recordset rs = db_.OpenRecordset(
            "SELECT * FROM HXSClient WHERE ([Enable] = '1') AND ([State] = '0') AND ([Device] = ?)", {qs(identifier)});
        if (rs.next())
            free = rs.text("device");
    }
    if (free && claim(*free, false)) {
        log_.ApplicationLine("LWAI: Found inactive user id " + *free);
        return *free;
    }
    std::optional<std::string> taken;
    {
        Recordset rs =
            db_.OpenRecordset("SELECT * FROM HXSClient WHERE ([Enable] = '1') AND ([Device] = ?)", {qs(identifier)});
        if (rs.next())
            taken = rs.text("device");
    }
    // Asked before the rows are looked at, as the operator knows it.
    const bool overrideIt = dialogs_.AskYesNo("WARNING: Make sure there is no other client running if you select yes !! \r"
                                              "  Do you wish to overide the Client " +
                                                  identifier + " system state",
                                              kDialogTitle);
    if (!taken) {
        dialogs_.MsgBox(kNotEnabled, kDialogTitle);
        return kNoClient;
    }
    if (!overrideIt) {
        log_.ApplicationLine("LWAI: WARNING: user id already running " + *taken);
        return kNoClient;
    }
    if (!claim(*taken, true))
        return kNoClient;   // disabled or removed while the question was open
    log_.ApplicationLine("LWAI: Found inactive user id " + *taken);
    return *taken;
}

std::string ClientRegistration::stampOf(const std::string& device)
{
    try {
        Recordset rs = db_.OpenRecordset("SELECT [Watchdog] FROM HXSClient WHERE ([Device] = ?)", {qs(device)});
        return rs.next() && !rs.isNull("Watchdog") ? rs.text("Watchdog") : std::string();
    } catch (const DatabaseFault&) {
        return {};
    }
}

void ClientRegistration::tellClaim(const std::string& device)
{
    emit claimChanged(device, stampOf(device));
}

bool ClientRegistration::TakeBackOwnRow(const std::string& device, const std::string& stamp, const std::string& request)
{
    const bool pattern = request.size() >= 2 && request.compare(request.size() - 2, 2, "**") == 0;
    const bool fits = pattern ? sameFirstCharacter(device, request)
                              : QString::fromStdString(device).compare(QString::fromStdString(request),
                                                                       Qt::CaseInsensitive) == 0;
    if (!fits || stamp.empty() || NoIdentity(device))
        return false;
    return db_.guarded({kWhoAmIFailure}, [&] {
                  std::string claimedAt;
                  {
                      Recordset rs = db_.OpenRecordset(
                          "SELECT * FROM HXSClient WHERE ([Enable] = '1') AND ([State] = '1') AND ([Device] = ?)",
                          {qs(device)});
                      // Claimed since by anyone else, the stamp is theirs.
                      if (!rs.next() || rs.isNull("Watchdog") || rs.text("Watchdog") != stamp)
                          return false;
                      claimedAt = rs.date("Watchdog").generalDate();
                  }
                  if (!claim(device, true))
                      return false;
                  log_.ApplicationLine("LWAI: Took back user id " + device + ", claimed by this installation at " +
                                       claimedAt + " by a run that ended without its close");
                  return true;
              })
        .value_or(false);
}

void ClientRegistration::SetUserIdInactive()
{
    const char* closed = "SUII: Unable to access database for next message id.";
    if (NoIdentity(clientId_)) {
        // Nothing to give back; a catalogue that cannot be opened is still told.
        if (!db_.EnsureSQLDatabase())
            log_.ApplicationLine(closed);
        return;
    }
    db_.guarded({" SUII: Unable to access connection to disable user.", closed}, [&] {
        db_.Execute("UPDATE HXSClient SET [State] = '0',[Available] = '0'  WHERE ([Device] = ?)",
                    {qs(std::string(text::Trim(clientId_, text::kSpace)))});
        holdsRow_ = false;
        emit claimChanged("", "");
    });
}

void ClientRegistration::SetClientAvailability(const std::string& identifier, std::int16_t available)
{
    if (NoIdentity(identifier))
        return;
    if (!db_.EnsureSQLDatabase()) {
        log_.UpdateSystemLog(-1, log_.StatusList, "", " SCA: Unable to set client availability");
        return;
    }
    db_.guarded({" SCA: Unable to set client availability"}, [&] {
        db_.Execute("UPDATE HXSClient SET [Watchdog] = GETDATE(),[Available] = ?  WHERE ([Device] = ?)",
                    {QString::number(available), qs(identifier)});
        // Our own row's stamp moved: the note of it follows.
        const std::string own(text::Trim(clientId_, text::kSpace));
        if (holdsRow_ && QString::fromStdString(std::string(text::Trim(identifier, text::kSpace)))
                                 .compare(QString::fromStdString(own), Qt::CaseInsensitive) == 0)
            tellClaim(own);
        log_.UpdateSystemLog(-1, log_.StatusList, "", available == 1 ? " SCA: Client Ready" : " SCA: Client Unavailable ");
    });
}

void ClientRegistration::UpdateLastBackUp(const std::string& identifier)
{
    if (NoIdentity(identifier))
        return;
    db_.guarded({"ULBU: Unable to update last backup date. ", "ULBU: Unable to update last backup date."}, [&] {
        db_.Execute("UPDATE HXSClient SET [LastBackUp] = GETDATE() WHERE ([Device] = ?)", {qs(identifier)});
    });
}

BackUpInfo ClientRegistration::LoadLastBackUp(const std::string& identifier)
{
    BackUpInfo info;
    if (NoIdentity(identifier))
        return info;
    db_.guarded({"LLBU: Unable to load last backup date.", "LLBU: Unable to load last backup date."}, [&] {
        Recordset rs = db_.OpenRecordset("SELECT * FROM HXSClient WHERE ([Device] = ?) ", {qs(identifier)});
        if (rs.next()) {
            info.LastBackUp = rs.date("LastBackUp");
            info.BackUpPeriod = rs.int16("BackUpPeriod");
            info.WPeriod = rs.int16("WPeriod");
        }
    });
    return info;
}

std::string ClientRegistration::IdentifyTitleModule(const std::string& title)
{
    std::string group;
    db_.guarded({" ITM: Unable to access connection to database for module description."}, [&] {
        Recordset rs = db_.OpenRecordset("SELECT [Group],[Title] FROM HXSModule WHERE ([Title] = ?) ", {qs(title)});
        if (!rs.next())
            log_.ApplicationLine(" ITM: Unable to find Module Title." + title);
        else if (!rs.isNull("Group"))
            group = rs.text("Group");
    });
    return group;
}

void ClientRegistration::SetRemoteHub(std::string address, std::int32_t port)
{
    remoteAddress_ = std::move(address);
    remotePort_ = port;
}

void ClientRegistration::LoadTCPVariables()
{
    // A catalogue that cannot be opened gives the defaults; one that fails
    // the read leaves what was read before.
    if (!db_.EnsureSQLDatabase()) {
        tcpVars_ = TCPVariables{};
        return;
    }
    db_.guarded({" LTV: Unable to access connection to database for TCP variables."}, [&] {
        Recordset rs = db_.OpenRecordset("SELECT * FROM HXSTCPClient WHERE ([Device] = ?)", {qs(clientId_)});
        if (!rs.next()) {
            log_.ApplicationLine(" LTV: Unable to find TCP Module Title." + clientId_);
            return;
        }
        log_.ApplicationLine(" LTV: Found User id TCP Vars " + clientId_);
        tcpVars_.HubAttempts = rs.int16("HubAttempts");
        tcpVars_.HubWait = rs.int16("HubWait");
        tcpVars_.HubMaxBuffer = rs.int16("HubMaxBuffer");
        tcpVars_.RemoteBuffer = rs.int16("RemoteBuffer");
        tcpVars_.CCWatchdog = rs.int32("CCWatchdog") / 86400.0;
    });
}

PortSettings ClientRegistration::GetPortSettings(const std::string& identifier)
{
    PortSettings ps;
    db_.guarded({" GPS: Unable to access connection to database for port settings."}, [&] {
        Recordset rs = db_.OpenRecordset("SELECT * FROM HXSClient WHERE ([Device] = ?)", {qs(identifier)});
        if (!rs.next())
            return;
        // A field that cannot be read keeps its empty value.
        const auto read = [&rs](auto& target, const char* name, auto convert) {
            try {
                target = convert(rs.field(name));
            } catch (const DatabaseFault&) {
            }
        };
        read(ps.SerialPort, "SerialPort", toInt16);
        read(ps.PortType, "PortType", toText);
        read(ps.PortClass, "PortClass", toText);
        read(ps.OutputMethod, "OutputMethod", toText);
        read(ps.HostAddress, "HostAddress", toText);
        read(ps.HostPort, "HostPort", toText);
        read(ps.PrependDialString, "PrependDialString", toText);
        read(ps.InitString, "InitString", toText);
    });
    return ps;
}

}  // namespace smtpin::db
