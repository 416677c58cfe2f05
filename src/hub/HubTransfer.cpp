// The send path (output buffer and flush), the receive path (stream
// splitting and packet handling), data requests and the link watchdog.
#include "CommDisplay.h"

#include "CommShared.h"
#include "LinkSocket.h"
#include "log/SystemLog.h"
#include "platform/Clock.h"
#include "platform/TextNumbers.h"

namespace smtpin::hub {

namespace {
constexpr std::int32_t kCounterWrap = 100000000;
std::int32_t bump(std::int32_t v) { return static_cast<std::int32_t>((static_cast<long long>(v) + 1) % kCounterWrap); }
}  // namespace

bool CommDisplay::Send(CommType& record, messages::Traffic traffic)
{
    record.SDate = clock_.now();
    if (!ThisMember.BufferAdd(record, traffic)) {
        // Full of pages: the new page is refused so nothing already queued is lost.
        TOPackets(bump(ThisMember.OPackets));
        TLastOPacket(clock_.now());
        TBufferSize();
        return false;
    }
    if (!holdFlush_ && FlushOutput() == 2)
        ThisMember.SystemState = number(Step::ClosePort);
    // Queued is taken: a record that could not go out now stays at the
    // head of the buffer and leaves first after the next login.
    return true;
}

bool CommDisplay::Waiting(const std::string& message) const
{
    for (const auto& o : ThisMember.outputBuffer())
        if (o.record.Message == message)
            return true;
    return false;
}

int CommDisplay::FlushOutput()
{
    int result = 0;
    const bool open = (ThisMember.Mode & mode::OUT) && (ThisMember.Mode & mode::CON);
    while (open && ThisMember.BufferSize() > 0) {
        CommType head;
        if (!ThisMember.BufferRetrieve(head)) {
            result = 1;
            continue;
        }
        const messages::Traffic traffic = ThisMember.outputBuffer().front().traffic;
        if (!SendCommPacket(socket_, head)) {
            result = 2;
            break;
        }
        if (traffic == messages::Traffic::Page || traffic == messages::Traffic::Resend)
            lastPageSent_ = clock_.now();
        head.Copy(LastSent);
        ThisMember.BufferDelete(head);
        ++recordsSent_;
        TPackets(bump(ThisMember.Packets));
        TLastPacket(clock_.now());
        TLastWDog(clock_.now());
        result = 0;
    }
    TBufferSize();
    return result;
}

void CommDisplay::sckClient_DataArrival(long)
{
    reader_.append(socket_.receive());
    GetNextPktBuffer();
}

void CommDisplay::GetNextPktBuffer()
{
    try {
        std::string one;
        while (reader_.next(one))
            InterigatePacket(one);
    } catch (const std::exception& e) {
        log_.ApplicationLine(std::string("ERROR: GNPB: ") + e.what());
    }
}

bool CommDisplay::InterigatePacket(const std::string& packetText)
{
    std::string unreadable;
    if (!ExtractCommPacket(packetText, CurrentPacket, &unreadable)) {
        if (unreadable.empty())
            return false;
        // Check and structure are sound: the record still counts, and what
        // could not be read is said once.
        InsertClientLog("RXD: Unreadable field " + unreadable);
        log_.ApplicationLine("  HUB: Packet from the switch with an unreadable field " + unreadable + ", handled");
    }
    lastHeard_ = clock_.now();
    const auto code = toInt16(CurrentPacket.Mtype);
    if (!handleControl(code ? *code : 0))
        handleData();
    return true;
}

// True when the packet was a control packet and is done with.
bool CommDisplay::handleControl(int code)
{
    switch (code) {
    case packet::ConnectRequest:
    case packet::RequestNext:
        return true;
    case packet::ServerLogoff:
        TSystemState(Step::CloseNotice);
        TTimeOut(0);
        InsertClientLog("RXD: DISCONNECT RQST");
        return true;
    case packet::ConnectAccept: {
        if (!at(Step::WaitForLogin))
            return true;
        std::string unreadable;
        if (!RemoteMember.ExtractPacket(CurrentPacket.Message, &unreadable)) {
            if (unreadable.empty()) {
                TSystemStateDES("Returned Packet Extraction failed");
                TSystemState(Step::CloseNotice);
                TTimeOut(0);
                return true;
            }
            // A sound member packet with a field written another way: the
            // login holds, the field keeps its cleared value.
            InsertClientLog("RXD: Unreadable field in the accept " + unreadable);
        }
        takeAccept();
        return true;
    }
    case packet::BufferEmpty:
        InsertClientLog("RXD: BUFFER EMPTY");
        if (at(Step::RequestingData) || at(Step::WaitingForData)) {
            TSystemState(Step::Idle);
            TTimeOut(2);
            DataWaiting = false;
        }
        return true;
    default:
        return false;
    }
}

void CommDisplay::takeAccept()
{
    TIdentifier(RemoteMember.Identifier);
    TMode(RemoteMember.Mode);
    TDescription(RemoteMember.Description);
    Tsocket(RemoteMember.socket);
    TWatchDog(RemoteMember.WatchDog);
    TExpWatchDog(RemoteMember.ExpWatchDog);
    TMemberExpire(RemoteMember.MemberExpire);
    TCreated(RemoteMember.Created);
    grantBuffer(RemoteMember.BufferMax);
    TRemoteBuffer(RemoteMember.RemoteBuffer);
    TLastConnection(RemoteMember.LastConnection);
    TSystemState(Step::LoggedIn);
    TTimeOut(0);
    // Logged in from here: a packet that follows at once (the switch's own
    // watchdog, a record) is handled, and cannot undo the login.
    setFlag(mode::CON, true);
    WatchdogFailed = false;
    InsertClientLog("RXD: ACCEPT CONN");
    ++logins_;
    announce("logged in");
    if (!(ThisMember.Mode & mode::OUT)) {
        // Output waits for OUT and CON: pages wait, and someone must be told.
        log_.Echo("link: logged in without output");
        log_.ApplicationLine("  HUB: The switch accepted the login without output; pages wait");
    }
    lastHeard_ = clock_.now();
    // What goes again is queued in order first and then leaves in one flush.
    holdFlush_ = true;
    emit loginAccepted();
    holdFlush_ = false;
    if (ThisMember.BufferSize() > 0 && FlushOutput() == 2)
        ThisMember.SystemState = number(Step::ClosePort);
}

// A buffer of 0 or less would refuse every page while the link looks healthy.
void CommDisplay::grantBuffer(std::int16_t granted)
{
    if (granted > 0) {
        TBufferMax(granted);
        return;
    }
    const std::string used = std::to_string(configuredBufferMax_);
    InsertClientLog("RXD: Buffer of " + std::to_string(granted) + " granted, using " + used);
    log_.ApplicationLine("  HUB: The switch granted a link buffer of " + std::to_string(granted) + ", using " + used);
    TBufferMax(configuredBufferMax_);
}

void CommDisplay::handleData()
{
    CurrentPacket.Copy(LastReceivedPacket);
    DataWaiting = true;
    // Data ends a wait for data; it must not undo a login, a close or a
    // connection in progress.
    if (at(Step::Idle) || at(Step::RequestingData) || at(Step::WaitingForData)) {
        TSystemState(Step::Idle);
        TTimeOut(2);
    }
    TRPackets(bump(ThisMember.RPackets));
    TLastRPacket(clock_.now());
    const CommType received = CurrentPacket;
    CurrentPacket.Clear();
    takeReceived(received);
}

// A data packet is taken once a login stands, and handed on as it came.
// In the waiting request mode the next one is asked for once this one is
// handed on; the engine's next tick, the next data or "Buffer Emtpy" ends
// the wait.
void CommDisplay::takeReceived(const CommType& record)
{
    if (!Connected() || ThisMember.Identifier == "NOTINIT")
        return;
    ++Incomingctr;
    DataWaiting = false;
    emit receivedData(record);
    if ((ThisMember.Mode & mode::SYN) && (ThisMember.Mode & mode::NWT) && Connected()) {
        Request(record, true);
        TSystemState(Step::RequestingData);
        TTimeOut(0);
    }
}

void CommDisplay::Request(const CommType& record, bool value)
{
    if (!Connected())
        return;
    if (value) {
        sendControl(packet::RequestNext);
        SetLatch();
    } else {
        sendControl(packet::KillRequest);
    }
    DataWaiting = false;
    record.Copy(RequestRecord);
}

bool CommDisplay::Request(CommType& record)
{
    if (!Connected()) {
        record.Clear();
        return false;
    }
    RequestRecord.Copy(record);
    return (ThisMember.Mode & mode::LTH) != 0;
}

bool CommDisplay::RequestDataHub(const CommType& record)
{
    CommType current;
    if (Request(current))
        return false;
    Request(record, true);
    return true;
}

// The switch promised a watchdog every ExpWatchDog; two missed while our
// records wait for an answer means it is gone (frozen, or the connection
// half-open) even though its socket still takes our bytes.
bool CommDisplay::SwitchSilent() const
{
    const double limit = 2.0 * ThisMember.ExpWatchDog.days();
    return Connected() && limit > 0 && ThisMember.LastPacket > lastHeard_ &&
           clock_.now().days() - lastHeard_.days() > limit;
}

bool CommDisplay::CheckHubWatchDog()
{
    const DateSerial due(ThisMember.LastWDog.days() + ThisMember.WatchDog.days() / 2.0);
    if (due <= clock_.now())
        return KickHubTCPDog();
    return true;
}

bool CommDisplay::KickHubTCPDog()
{
    if (!sendControl(packet::LinkWatchDog))
        return false;
    TLastWDog(clock_.now());
    setFlag(mode::WDG, true);
    return true;
}

}  // namespace smtpin::hub
