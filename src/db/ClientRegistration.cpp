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
    if (!db_.EnsureSQLDatabase()) {
        log_.ApplicationLine("GSMI: Unable to access database for next message id.");
        return false;
    }
    db_.CountDatabaseHit();
    const std::int32_t block = std::clamp(messIdBlock_, 1, kMaxMessIdBlock);
    try {
        // Moved and read back in one transaction, so clients sharing the
        // catalogue never reserve the same ids.
        std::optional<std::int64_t> drawn;
        db_.InTransaction([&] {
            if (db_.Execute("UPDATE HXSSystem SET [Value] = [Value] + ? WHERE ([Description] = 'MessIdSystem')",
                            {block}) < 1)
                return;
            Recordset rs =
                db_.OpenRecordset("SELECT [Value],[Description] FROM HXSSystem WHERE ([Description] = 'MessIdSystem') ");
            if (rs.next())
                drawn = rs.int32("Value");
        });
        if (!drawn || *drawn - block + 1 < 1) {
            log_.ApplicationLine("GSMI: The catalogue has no message id counter (HXSSystem 'MessIdSystem')");
            return false;
        }
        last = *drawn;
        first = last - block + 1;
        log_.ApplicationLine("GSMI: Message ids " + std::to_string(first) + " to " + std::to_string(last) +
                             " reserved");
        outOfIdsLogged_ = false;
        return true;
    } catch (const DatabaseFault& f) {
        db_.ReportDatabaseError("GSMI: Unable to access connection to database for next message id.", f);
        return false;
    }
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
    if (!db_.EnsureSQLDatabase()) {
        log_.ApplicationLine(" GSS: Unable to access database for next message id.");
        return;
    }
    db_.CountDatabaseHit();
    try {
        {
            Recordset rs = db_.OpenRecordset("SELECT * FROM HXSSystem WHERE ([Description] = 'Remote Port') ");
            if (rs.next())
                remotePort_ = rs.int32("Value");
        }
        Recordset rs = db_.OpenRecordset("SELECT * FROM HXSSystem WHERE ([Description] = 'Remote Address') ");
        if (rs.next())
            remoteAddress_ = rs.text("Value");
    } catch (const DatabaseFault& f) {
        db_.ReportDatabaseError(" GSS: Unable to access connection to database for next message id.", f);
    }
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
    std::string result = kNoClient;
    if (!db_.EnsureSQLDatabase())
        return result;
    db_.CountDatabaseHit();
    try {
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
                result = device;
                log_.ApplicationLine("LWAI: Found inactive user id " + result);
                return result;
            }
        }
        return result;
    } catch (const DatabaseFault& f) {
        db_.ReportDatabaseError(" LTV: Unable to access connection to determine WhoAmI.", f);
        return result;
    }
}

std::string ClientRegistration::whoAmIComplete(const std::string& identifier)
{
    std::string result;
    if (!db_.EnsureSQLDatabase())
        return result;
    try {
        std::optional<std::string> free;
        {
            Recordset rs = db_.OpenRecordset(
                "SELECT * FROM HXSClient WHERE ([Enable] = '1') AND ([State] = '0') AND ([Device] = ?)",
                {qs(identifier)});
            if (rs.next())
                free = rs.text("device");
        }
        if (free && claim(*free, false)) {
            result = *free;
            log_.ApplicationLine("LWAI: Found inactive user id " + result);
            return result;
        }
        std::optional<std::string> taken;
        {
            Recordset rs = db_.OpenRecordset("SELECT * FROM HXSClient WHERE ([Enable] = '1') AND ([Device] = ?)",
                                             {qs(identifier)});
            if (rs.next())
                taken = rs.text("device");
        }
        // Asked before the rows are looked at, as the operator knows it.
        const bool overrideIt = dialogs_.AskYesNo(
            "WARNING: Make sure there is no other client running if you select yes !! \r"
            "  Do you wish to overide the Client " + identifier + " system state",
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
        result = *taken;
        log_.ApplicationLine("LWAI: Found inactive user id " + result);
        return result;
    } catch (const DatabaseFault& f) {
        db_.ReportDatabaseError(" LTV: Unable to access connection to determine WhoAmI.", f);
        return result;
    }
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
    if (!fits || stamp.empty() || NoIdentity(device) || !db_.EnsureSQLDatabase())
        return false;
    db_.CountDatabaseHit();
    try {
        std::string claimedAt;
        {
            Recordset rs = db_.OpenRecordset(
                "SELECT * FROM HXSClient WHERE ([Enable] = '1') AND ([State] = '1') AND ([Device] = ?)", {qs(device)});
            // Claimed since by anyone else, the stamp is theirs.
            if (!rs.next() || rs.isNull("Watchdog") || rs.text("Watchdog") != stamp)
                return false;
            claimedAt = rs.date("Watchdog").generalDate();
        }
        if (!claim(device, true))
            return false;
        log_.ApplicationLine("LWAI: Took back user id " + device + ", claimed by this installation at " + claimedAt +
                             " by a run that ended without its close");
        return true;
    } catch (const DatabaseFault& f) {
        db_.ReportDatabaseError(" LTV: Unable to access connection to determine WhoAmI.", f);
        return false;
    }
}

void ClientRegistration::SetUserIdInactive()
{
    if (!db_.EnsureSQLDatabase()) {
        log_.ApplicationLine("SUII: Unable to access database for next message id.");
        return;
    }
    if (NoIdentity(clientId_))
        return;
    db_.CountDatabaseHit();
    try {
        db_.Execute("UPDATE HXSClient SET [State] = '0',[Available] = '0'  WHERE ([Device] = ?)", {qs(std::string(text::Trim(clientId_, text::kSpace)))});
        holdsRow_ = false;
        emit claimChanged("", "");
    } catch (const DatabaseFault& f) {
        db_.ReportDatabaseError(" SUII: Unable to access connection to disable user.", f);
    }
}

void ClientRegistration::SetClientAvailability(const std::string& identifier, std::int16_t available)
{
    if (NoIdentity(identifier))
        return;
    if (!db_.EnsureSQLDatabase()) {
        log_.UpdateSystemLog(-1, log_.StatusList, "", " SCA: Unable to set client availability");
        return;
    }
    db_.CountDatabaseHit();
    try {
        db_.Execute("UPDATE HXSClient SET [Watchdog] = GETDATE(),[Available] = ?  WHERE ([Device] = ?)",
                    {QString::number(available), qs(identifier)});
        // Our own row's stamp moved: the note of it follows.
        if (holdsRow_ && QString::fromStdString(std::string(text::Trim(identifier, text::kSpace)))
                                 .compare(QString::fromStdString(std::string(text::Trim(clientId_, text::kSpace))), Qt::CaseInsensitive) == 0)
            tellClaim(std::string(text::Trim(clientId_, text::kSpace)));
        log_.UpdateSystemLog(-1, log_.StatusList, "", available == 1 ? " SCA: Client Ready" : " SCA: Client Unavailable ");
    } catch (const DatabaseFault& f) {
        db_.ReportDatabaseError(" SCA: Unable to set client availability", f);
    }
}

void ClientRegistration::UpdateLastBackUp(const std::string& identifier)
{
    if (NoIdentity(identifier))
        return;
    if (!db_.EnsureSQLDatabase()) {
        log_.ApplicationLine("ULBU: Unable to update last backup date.");
        return;
    }
    db_.CountDatabaseHit();
    try {
        db_.Execute("UPDATE HXSClient SET [LastBackUp] = GETDATE() WHERE ([Device] = ?)", {qs(identifier)});
    } catch (const DatabaseFault& f) {
        db_.ReportDatabaseError("ULBU: Unable to update last backup date. ", f);
    }
}

BackUpInfo ClientRegistration::LoadLastBackUp(const std::string& identifier)
{
    BackUpInfo info;
    if (NoIdentity(identifier))
        return info;
    if (!db_.EnsureSQLDatabase()) {
        log_.ApplicationLine("LLBU: Unable to load last backup date.");
        return info;
    }
    db_.CountDatabaseHit();
    try {
        Recordset rs = db_.OpenRecordset("SELECT * FROM HXSClient WHERE ([Device] = ?) ", {qs(identifier)});
        if (rs.next()) {
            info.LastBackUp = rs.date("LastBackUp");
            info.BackUpPeriod = rs.int16("BackUpPeriod");
            info.WPeriod = rs.int16("WPeriod");
        }
    } catch (const DatabaseFault& f) {
        db_.ReportDatabaseError("LLBU: Unable to load last backup date.", f);
    }
    return info;
}

std::string ClientRegistration::IdentifyTitleModule(const std::string& title)
{
    std::string group;
    if (!db_.EnsureSQLDatabase())
        return group;
    db_.CountDatabaseHit();
    try {
        Recordset rs = db_.OpenRecordset("SELECT [Group],[Title] FROM HXSModule WHERE ([Title] = ?) ", {qs(title)});
        if (!rs.next())
            log_.ApplicationLine(" ITM: Unable to find Module Title." + title);
        else if (!rs.isNull("Group"))
            group = rs.text("Group");
    } catch (const DatabaseFault& f) {
        db_.ReportDatabaseError(" ITM: Unable to access connection to database for module description.", f);
    }
    return group;
}

void ClientRegistration::SetRemoteHub(std::string address, std::int32_t port)
{
    remoteAddress_ = std::move(address);
    remotePort_ = port;
}

void ClientRegistration::LoadTCPVariables()
{
    if (!db_.EnsureSQLDatabase()) {
        tcpVars_ = TCPVariables{};
        return;
    }
    db_.CountDatabaseHit();
    try {
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
    } catch (const DatabaseFault& f) {
        db_.ReportDatabaseError(" LTV: Unable to access connection to database for TCP variables.", f);
    }
}

PortSettings ClientRegistration::GetPortSettings(const std::string& identifier)
{
    PortSettings ps;
    if (!db_.EnsureSQLDatabase())
        return ps;
    db_.CountDatabaseHit();
    try {
        Recordset rs = db_.OpenRecordset("SELECT * FROM HXSClient WHERE ([Device] = ?)", {qs(identifier)});
        if (!rs.next())
            return ps;
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
    } catch (const DatabaseFault& f) {
        db_.ReportDatabaseError(" GPS: Unable to access connection to database for port settings.", f);
    }
    return ps;
}

}  // namespace smtpin::db
