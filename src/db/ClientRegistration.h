#pragma once

#include "platform/DateSerial.h"

#include <QObject>

#include <cstdint>
#include <string>
#include <utility>

namespace smtpin {
class Dialogs;
class SystemLog;
}  // namespace smtpin

namespace smtpin::db {

class CatalogueConnection;

// The log backup schedule of a client row.
struct BackUpInfo {
    std::int16_t BackUpPeriod = 0;   // hours
    DateSerial LastBackUp;
    std::int16_t WPeriod = 0;        // seconds
};

// The port settings of a client row.
struct PortSettings {
    std::int16_t SerialPort = 0;
    std::string PortType;
    std::string PortClass;
    std::string OutputMethod;
    std::string HostAddress;
    std::string HostPort;
    std::string PrependDialString;
    std::string InitString;
};

// The hub link's tuning values.
struct TCPVariables {
    std::int16_t HubAttempts = 10;
    std::int16_t HubWait = 10;
    std::int16_t HubMaxBuffer = 100;
    std::int16_t RemoteBuffer = 250;
    double CCWatchdog = 300.0 / 86400.0;   // a time span in days
};

// This client's identity in the shared client table and the rows that
// belong to it: claiming and releasing the row, availability, backup and
// hub settings, and message numbers.
class ClientRegistration final : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kNoClient = "xxx";
    static constexpr const char* kDialogTitle = "HXS-SMTP";

    ClientRegistration(CatalogueConnection& db, SystemLog& log, Dialogs& dialogs);

    // The client identifier: a request (complete or a pattern ending "**")
    // before LoadWhoAmI, the claimed row after; "xxx" means no identity.
    const std::string& clientId() const { return clientId_; }
    void setClientId(std::string identifier) { clientId_ = std::move(identifier); }
    // Message ids are reserved from the catalogue's counter in blocks of
    // this many ("MESSID_BLOCK") and handed out here, so a short outage does
    // not stop intake and no two clients ever hand out the same id.
    std::int32_t messIdBlock() const { return messIdBlock_; }
    void setMessIdBlock(std::int32_t size) { messIdBlock_ = size; }
    static constexpr std::int32_t kMaxMessIdBlock = 100000;
    // The switch's address, from the settings table or the hub setup window.
    const std::string& remoteAddress() const { return remoteAddress_; }
    std::int32_t remotePort() const { return remotePort_; }
    void SetRemoteHub(std::string address, std::int32_t port);
    // The link's settings from this client's TCP row (LoadTCPVariables).
    const TCPVariables& tcpVars() const { return tcpVars_; }

    // The next reserved id; 0 when none is left and none can be drawn (the
    // caller must not use one that may repeat).
    std::int32_t GetSystemMessageId();
    // Reserved ids not handed out yet.
    std::int64_t MessIdsLeft() const { return (last_ - next_ + 1) + (nextBlockLast_ - nextBlockFirst_ + 1); }
    void GetSystemSettings();
    std::string LoadWhoAmI();
    void SetUserIdInactive();
    void SetClientAvailability(const std::string& identifier, std::int16_t available);
    void UpdateLastBackUp(const std::string& identifier);
    BackUpInfo LoadLastBackUp(const std::string& identifier);
    std::string IdentifyTitleModule(const std::string& title);
    void LoadTCPVariables();
    PortSettings GetPortSettings(const std::string& identifier);

    // The row this installation claimed before, still marked running though
    // that run is over (its data folder lock was free): taken back without
    // the override question when it fits the requested identifier and still
    // carries the stamp this installation left on it. False when it is free,
    // gone, disabled, or claimed since by anyone else.
    bool TakeBackOwnRow(const std::string& device, const std::string& stamp, const std::string& request);

    // This instance claimed its row and has not released it yet.
    bool HoldsRow() const { return holdsRow_; }

    // Empty, spaces or "xxx": the routines that take an identifier do nothing.
    static bool NoIdentity(const std::string& identifier);

signals:
    // The row and its stamp whenever this instance claims its row or the
    // stamp on it changes, and ("", "") when it gives the row back.
    void claimChanged(const std::string& device, const std::string& stamp);

private:
    std::string whoAmIPattern(const std::string& pattern);
    std::string whoAmIComplete(const std::string& identifier);
    std::string whoAmIClaim(const std::string& identifier);
    // Takes the row when it is still free (or whatever its state, when
    // overriding); false when another client got there first.
    bool claim(const std::string& device, bool override);
    // Moves the counter by a block in one step; the block's first and last id.
    bool drawBlock(std::int64_t& first, std::int64_t& last);
    // The row's Watchdog as this instance left it; empty when unreadable.
    std::string stampOf(const std::string& device);
    void tellClaim(const std::string& device);

    std::int64_t next_ = 1, last_ = 0;                    // the block in use
    std::int64_t nextBlockFirst_ = 1, nextBlockLast_ = 0; // drawn before it runs out
    bool outOfIdsLogged_ = false;
    CatalogueConnection& db_;
    SystemLog& log_;
    Dialogs& dialogs_;
    bool holdsRow_ = false;
    std::string clientId_ = kNoClient;
    std::int32_t messIdBlock_ = 100;
    std::int32_t remotePort_ = 6000;
    std::string remoteAddress_;
    TCPVariables tcpVars_;
};

}  // namespace smtpin::db
