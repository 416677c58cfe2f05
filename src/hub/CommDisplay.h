#pragma once

#include "CommMemberType.h"
#include "LinkViewModel.h"
#include "PacketReader.h"
#include "messages/HubLinkPort.h"

#include <QObject>
#include <QTimer>

#include <cstdint>
#include <string>

namespace smtpin {
class Clock;
class Label;
class SystemLog;
}

namespace smtpin::hub {

class LinkSocket;

// The hub link: this client's member record, the connection engine on its
// 2-second tick and the output buffer towards the switch. Packets from
// the switch come in through the packet reader; what the window shows is
// the view model's.
class CommDisplay final : public QObject, public messages::HubLinkPort {
    Q_OBJECT
public:
    static constexpr std::size_t kMaxReceiveBuffer = PacketReader::kMaxBuffer;
    static constexpr int kEngineMs = 2000;

    // progress: the main window's caption that repeats the link status.
    CommDisplay(const Clock& clock, SystemLog& log, forms::CommDisplayForm& form, Label& progress,
                LinkSocket& socket);
    ~CommDisplay() override;

    // Tests drive the timer handlers themselves.
    void setTimersEnabled(bool on) { timersEnabled_ = on; }

    void Form_Load();
    void StopCommDisplay();
    void cmdHide_Click() { view_.form().window.setVisible(false); }
    forms::CommDisplayForm& form() { return view_.form(); }
    LinkViewModel& view() { return view_; }

    // Connection engine.
    bool Connect(const CommMemberType& settings);
    bool Disconnect();
    void KillConnection() override;
    void Engine_Timer();
    bool SetLocalIdentifier(const std::string& text);
    bool Connected() const { return (ThisMember.Mode & mode::CON) != 0; }
    const CommMemberType& member() const { return ThisMember; }
    std::string Userid() const { return ThisMember.Identifier; }
    // The member code this client logged in with (its normalised identifier);
    // the switch addresses its records to it.
    const std::string& LoginCode() const { return loginCode_; }
    static std::string Version() { return "1.00.00"; }
    std::string LocalHostName() const;
    std::string LocalIp() const;
    // The mode word, as the switch's accept or Connect sets it.
    void TMode(std::int16_t v);
    void ShowLinkStatus(const std::string& text) { view_.ShowLinkStatus(text); }
    void AddToClientLogRing(const std::string& text) override { view_.AddToClientLogRing(text); }

    // Send.
    bool Send(CommType& record, messages::Traffic traffic) override;
    bool Send(CommType& record) { return Send(record, messages::Traffic::Page); }
    bool Waiting(const std::string& message) const override;
    // Staged pages only wait here while output is closed; open, they leave as they come.
    bool PageRoom(int staged) const override
    {
        const bool flowing = (ThisMember.Mode & mode::OUT) && (ThisMember.Mode & mode::CON);
        return ThisMember.PagesWaiting() + (flowing ? 0 : staged) < ThisMember.PageLimit();
    }
    // The configured room for new pages, from start-up on, not only from
    // the first connect.
    void SetBufferMax(std::int16_t configured);

    // Receive: the socket's data, and whatever waits in the reader.
    void sckClient_DataArrival(long bytes);
    void GetNextPktBuffer();
    void Request(const CommType& record, bool value);
    bool Request(CommType& record);
    bool RequestDataHub(const CommType& record);

    // For the metrics, the health check and the tests.
    bool isLoggedIn() const { return linkStatus_ == "logged in"; }
    // The engine stands at this step.
    bool at(Step s) const { return ThisMember.SystemState == number(s); }
    // Steps that need no wait: run at once rather than on the next tick.
    bool stepsAtOnce() const;
    // Logged in, but the switch's accept left OUT clear: nothing may be sent.
    bool loggedInWithoutOutput() const { return isLoggedIn() && !(ThisMember.Mode & mode::OUT); }
    std::uint64_t logins() const { return logins_; }
    // Logins that ended without this client asking.
    std::uint64_t losses() const { return losses_; }
    // The link at a glance, and since when it stands so.
    enum class LinkState { Down, Connecting, LoggedIn, LoggedInWithoutOutput, TakenDownByOperator };
    LinkState linkState() const;
    DateSerial linkSince() const { return linkSince_; }
    // When a page last went to the switch (zero: none yet).
    DateSerial lastPageSent() const { return lastPageSent_; }
    // The operator closed the setup window and chose to disconnect: the
    // logoff that follows is told as the operator's.
    void markTakenDownByOperator() { takenDownByOperator_ = true; }
    // Nothing tries to connect any more (unloaded, or out of retries): the
    // link is down, not connecting.
    void StoppedTrying();
    std::uint64_t recordsSent() const { return recordsSent_; }
    std::int32_t recordsTaken() const { return Incomingctr; }
    std::size_t bytesWaiting() const { return reader_.pending(); }
    bool watchdogFailed() const { return WatchdogFailed; }

signals:
    // A new TCP connection to the switch, before the login goes out.
    void tcpConnected();
    // A data packet from the switch, once, as it came.
    void receivedData(const messages::CommType& record);
    // The switch accepted this client: whatever it has not deleted goes again.
    void loginAccepted();

private:
    // The T family: store into ThisMember and show in the grid.
    void TIdentifier(const std::string& v);
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
    void TBufferSize();
    void TBufferMax(std::int16_t v);
    void TRemoteBuffer(std::int16_t v);
    void TLastConnection(DateSerial v);
    void TMemberExpire(DateSerial v);
    void TCreated(DateSerial v);
    void TWatchDog(DateSerial v);
    void TLastWDog(DateSerial v);
    void TExpWatchDog(DateSerial v);
    void Tsocket(std::int16_t v);
    void TSystemState(std::int16_t v);
    void TSystemState(Step s) { TSystemState(number(s)); }
    void TTimeOut(std::int16_t v);
    void setFlag(std::int16_t flag, bool on);
    void InsertClientLog(const std::string& text) { view_.InsertClientLog(text); }
    void SetLatch();

    // Engine states.
    void runState(std::string& message);
    void stateIdle();
    void stateOpen(std::string& message, const std::string& server);
    void stateWaitForConnection(std::string& message);
    void stateTcpConnected(std::string& message);
    void stateWaitForLogin(std::string& message);
    void stateCloseNotice(std::string& message);
    void stateWaitForClose(std::string& message);
    void stateClosePort(std::string& message, const std::string& server);
    void stateSendLogin(std::string& message);
    void stepSoon();
    void announce(const std::string& wanted);
    void onSocketConnected();
    void onSocketClosed();
    void onSocketError(int number, const std::string& description);

    // Send and receive paths.
    int FlushOutput();
    bool sendControl(std::int16_t code, const std::string& text = {});
    bool InterigatePacket(const std::string& packet);
    bool handleControl(int code);
    void takeAccept();
    void grantBuffer(std::int16_t granted);
    void handleData();
    void takeReceived(const CommType& record);
    bool CheckHubWatchDog();
    bool SwitchSilent() const;
    bool KickHubTCPDog();

    const Clock& clock_;
    SystemLog& log_;
    LinkSocket& socket_;
    LinkViewModel view_;
    PacketReader reader_;
    QTimer Engine;

    CommMemberType ThisMember;
    CommMemberType RemoteMember;
    CommType CurrentPacket;
    CommType LastReceivedPacket;
    bool DataWaiting = false;
    CommType RequestRecord;
    CommType LastSent;
    std::int32_t Incomingctr = 0;
    bool WatchdogFailed = false;

    bool timersEnabled_ = true;
    bool loggingOff_ = false;   // this client asked for the close
    bool stepQueued_ = false;
    bool holdFlush_ = false;
    DateSerial lastHeard_;   // when the switch last sent anything
    std::string loginCode_;
    std::int16_t configuredBufferMax_ = CommMemberType::kDefaultBufferMax;
    std::string linkStatus_;
    DateSerial linkSince_;
    DateSerial lastPageSent_;
    bool takenDownByOperator_ = false;
    bool lostSinceLogin_ = false;   // "restored" is said at the next login
    std::uint64_t losses_ = 0;
    std::uint64_t logins_ = 0;
    std::uint64_t recordsSent_ = 0;
};

}  // namespace smtpin::hub
