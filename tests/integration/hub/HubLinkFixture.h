#pragma once

#include "CatalogueHarness.h"

#include "hub/CommDisplay.h"
#include "hub/HubMessageRing.h"
#include "hub/SocketControlLink.h"
#include "messages/InputQueue.h"
#include "messages/MessageCreation.h"
#include "messages/PageStore.h"
#include "messages/SwitchInbox.h"
#include "messages/SwitchWatchdog.h"
#include "support/HubSimProcess.h"
#include "support/TestClient.h"

#include <memory>

namespace smtpin::test {

using hub::CommMemberType;

// One client: catalogue, link, queue and message creation wired as the
// program wires them, with the engine ticked by the test.
class HubLinkFixture : public CatalogueTest {
protected:
    void SetUp() override
    {
        c = openClient("S01");
        link = std::make_unique<hub::CommDisplay>(clock, c->log, linkForm, c->form.lbTCPProgress, socket);
        queue = std::make_unique<messages::InputQueue>(
            clock, c->log, messages::InputQueue::Controls{c->form.lbQueSize, c->form.txbOutgoingPkts}, c->reg,
            c->config, *link);
        queue->setSwitchId("h01");
        ASSERT_TRUE(queue->ResetInputQueue());
        store = std::make_unique<messages::PageStore>(clock, c->log, *queue);
        inbox = std::make_unique<messages::SwitchInbox>(clock, c->reg, *queue, *store);
        creation = std::make_unique<messages::MessageCreation>(clock, c->log, c->db, c->reg, *queue, *store, *link);
        watchdog = std::make_unique<messages::Watchdog>(clock, c->reg, *queue, *link);
        ring = std::make_unique<hub::HubMessageRing>(*link);
        QObject::connect(ring.get(), &hub::HubMessageRing::hubMessage,
                         [this](const std::string& text) { inbox->AddInputQueFromSwitch(text); });
        link->setTimersEnabled(false);
        QObject::connect(link.get(), &hub::CommDisplay::tcpConnected, [this] { watchdog->SendSwitchWatchdog(); });
        QObject::connect(link.get(), &hub::CommDisplay::loginAccepted, [this] { queue->ResendAfterLogin(); });
        QObject::connect(link.get(), &hub::CommDisplay::receivedData, ring.get(),
                         &hub::HubMessageRing::client_ReceivedData);
        link->Form_Load();
    }

    CommMemberType settings(int port) const
    {
        CommMemberType s;
        s.Identifier = "S01";
        s.Mode = 0x0114;
        s.ServerAddress = "127.0.0.1";
        s.ServerPort = port;
        s.BufferMax = 100;
        s.RemoteBuffer = 250;
        s.WatchDog = DateSerial(300.0 / 86400.0);
        return s;
    }

    // One engine tick with the event loop given time to deliver I/O.
    void tick()
    {
        clock.advanceSeconds(2);
        link->Engine_Timer();
        pumpUntil([] { return false; }, 30);
    }

    bool tickUntil(const std::function<bool()>& done, int maxTicks = 20)
    {
        for (int i = 0; i < maxTicks; ++i) {
            if (done())
                return true;
            tick();
        }
        return done();
    }

    bool login(int port)
    {
        if (!link->Connect(settings(port)))
            return false;
        return tickUntil([this] { return link->Connected(); });
    }

    int busySlots() const
    {
        int n = 0;
        for (int i = 0; i <= queue->queueSize(); ++i)
            n += queue->slot(i).Free ? 0 : 1;
        return n;
    }

    bool sendPage(int i)
    {
        PageRequest page{"Test page " + std::to_string(i), "12345", "hash" + std::to_string(i), clock.now(),
                         "MAILHOST", "10.0.0.5"};
        return creation->SendMessage(page) == PageOutcome::Queued;
    }

    std::unique_ptr<CatalogueClient> c;
    forms::CommDisplayForm linkForm;
    hub::SocketControlLink socket;
    std::unique_ptr<hub::CommDisplay> link;
    std::unique_ptr<messages::InputQueue> queue;
    std::unique_ptr<messages::PageStore> store;
    std::unique_ptr<messages::SwitchInbox> inbox;
    std::unique_ptr<messages::MessageCreation> creation;
    std::unique_ptr<messages::Watchdog> watchdog;
    std::unique_ptr<hub::HubMessageRing> ring;
    HubSimProcess hubsim;
};

}  // namespace smtpin::test
