#pragma once

#include "CommMemberType.h"
#include "forms/CommDisplayForm.h"
#include "forms/FrmSMTP.h"
#include "messages/HubLinkPort.h"

#include <QTimer>

#include <array>
#include <cstdint>
#include <functional>
#include <string>

namespace smtpin {
class Clock;
class SystemLog;
}

namespace smtpin::hub {

class LinkSocket;

// The hub link window: this client's member record, the connection engine
// on its 2-second tick, the send and receive paths, and the client log.
class CommDisplay final : public messages::HubLinkPort {
public:
    struct Hooks {
        // The switch watchdog, run once on each new TCP connection.
        std::function<bool()> switchWatchdog;
        // The ReceivedData event: one call per data packet received.
        std::function<void(const CommType&)> receivedData;
        // Runs pending events while Receive waits for an answer; returns
        // false to give up waiting.
        std::function<bool()> waitForEvents;
        // The switch accepted this client: whatever it has not deleted goes again.
        std::function<void()> loggedIn;
    };

    static constexpr std::size_t kMaxReceiveBuffer = 100000;
    static constexpr int kRing = 101;          // client log ring, slot 100 unused
    static constexpr int kLogLines = 201;      // backing lines of the client log
    static constexpr int kShownLines = 200;
    static constexpr int kEngineMs = 2000;

    CommDisplay(const Clock& clock, SystemLog& log, forms::CommDisplayForm& form, forms::FrmSMTP& mainForm,
                LinkSocket& socket);
    ~CommDisplay() override;

    Hooks& hooks() { return hooks_; }
    // Tests drive the timer handlers themselves.
    void setTimersEnabled(bool on) { timersEnabled_ = on; }

    void Form_Load();
    void StopCommDisplay();
    void cmdHide_Click() { form_.window.setVisible(false); }

    // Connection engine.
    bool Connect(const CommMemberType& settings);
    bool Disconnect();
    void KillConnection() override;
    bool Connected() const { return (ThisMember.Mode & mode::CON) != 0; }
    std::string Userid() const { return ThisMember.Identifier; }
    // The member code this client logged in with (its normalised identifier);
    // the switch addresses its records to it.
    const std::string& LoginCode() const { return loginCode_; }
    static std::string Version() { return "1.00.00"; }
    std::string LocalHostName() const;
    std::string LocalIp() const;
    void Engine_Timer();
    bool SetLocalIdentifier(const std::string& text);
    void AddToClientLogRing(const std::string& text) override;
    void ShowLinkStatus(const std::string& text);
    // For the metrics and the health check.
    bool loggedIn() const { return linkStatus_ == "logged in"; }
    std::uint64_t logins() const { return logins_; }
    std::uint64_t recordsSent() const { return recordsSent_; }

    // Send and receive.
    bool Send(CommType& record, messages::Traffic traffic) override;
    bool Send(CommType& record) { return Send(record, messages::Traffic::Page); }
    bool Waiting(const std::string& message) const override;
    bool PageRoom() const override { return ThisMember.PagesWaiting() < ThisMember.PageLimit(); }
    int FlushOutput();
    void sckClient_DataArrival(long bytes);
    void GetNextPktBuffer();
    bool InterigatePacket(const std::string& packet);
    bool Receive(CommType& record);
    void Request(const CommType& record, bool value);
    bool Request(CommType& record);
    bool RequestDataHub(const CommType& record);
    bool CheckHubWatchDog();
    bool SwitchSilent() const;
    bool KickHubTCPDog();

    // The T family: store into ThisMember and refresh the grid cell.
    void TIdentifier(const std::string& v);
    void TMode(std::int16_t v);
    void TSystemStateDES(const std::string& v);
    void TAddress(const std::string& v);
    void TPort(std::int32_t v);
    void TDescription(const std::string& v);
    void TServerAddress(const std::string& v);
    void TServerPort(std::int32_t v);
    void TPackets(std::int32_t v);
    void TLastPacket(DateSerial v);
    void TRPackets(std::int32_t v);
    void TLastRPacket(DateSerial v);
    void TOPackets(std::int32_t v);
    void TLastOPacket(DateSerial v);
    void TBufferSize(std::int16_t ignored = 0);
    void TBufferMax(std::int16_t v);
    void TRemoteBuffer(std::int16_t v);
    void TLastConnection(DateSerial v);
    void TMemberExpire(DateSerial v);
    void TCreated(DateSerial v);
    void TWatchDog(DateSerial v);
    void TLastWDog(DateSerial v);
    void TExpWatchDog(DateSerial v);
    void TExpNextWDog(DateSerial v);
    void Tsocket(std::int16_t v);
    void TMapTo(std::int16_t v);
    void TSystemState(std::int16_t v);
    void TTimeOut(std::int16_t v);
    void TBuffer(const std::string& v);

    void InsertClientLog(const std::string& text);
    void SetLatch();
    void BuildMemberGrid();

    CommMemberType ThisMember;
    CommMemberType RemoteMember;
    std::string ReceiveBuffer;
    CommType CurrentPacket;
    CommType LastReceivedPacket;
    bool DataWaiting = false;
    CommType RequestRecord;
    CommType LastSent;
    std::int32_t Incomingctr = 0;
    bool WatchdogFailed = false;
    QTimer Engine;

    forms::CommDisplayForm& form() { return form_; }

private:
    // Says a change of the link's status on the terminal ("link: ...").
    void announce(const std::string& status);
    std::string linkStatus_;
    std::uint64_t logins_ = 0;
    std::uint64_t recordsSent_ = 0;

    void setFlag(std::int16_t flag, bool on);
    void refreshCell(int row, const std::string& text);
    void refreshAll();
    void SetGridCellColour(unsigned rgb, int row, int col);
    void RefreshClientLog();
    void drainClientLogRing();
    bool sendControl(std::int16_t code, const std::string& text = {});
    void runState(std::string& message);
    void onSocketClosed();
    void onSocketError(int number, const std::string& description);
    void stepSoon();
    void takeAccept();
    void grantBuffer(std::int16_t granted);
    bool handleControl(int code);
    void handleData();

    const Clock& clock_;
    SystemLog& log_;
    forms::CommDisplayForm& form_;
    forms::FrmSMTP& mainForm_;
    LinkSocket& socket_;
    Hooks hooks_;
    bool timersEnabled_ = true;
    bool receiveBusy_ = false;
    bool stepQueued_ = false;
    bool holdFlush_ = false;
    DateSerial lastHeard_;   // when the switch last sent anything
    std::string loginCode_;
    std::int16_t configuredBufferMax_ = CommMemberType::kDefaultBufferMax;

    std::array<std::string, kRing> ClientLogRing;
    int ringWrite_ = 0;
    int ringRead_ = 0;
    std::array<std::string, kLogLines> ClientLogLines;
    int linesWrite_ = 0;
    int linesShown_ = 0;
};

// Two digits at least, as the engine's countdowns are shown.
std::string twoDigits(int value);

}  // namespace smtpin::hub
