#pragma once

#include "CatalogueHarness.h"
#include "messages/HubLinkPort.h"
#include "messages/InputQueue.h"
#include "messages/MessageType.h"
#include "messages/PageStore.h"
#include "messages/SwitchInbox.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace smtpin::test {

// The hub link as the queue sees it: remembers every record offered and
// takes or refuses them as told.
class FakeLink final : public messages::HubLinkPort {
public:
    bool Send(messages::CommType& record, messages::Traffic traffic) override
    {
        offered.push_back(record);
        traffics.push_back(traffic);
        if (onSend)
            onSend(record);
        return accept && !roomButRefuse;
    }
    bool PageRoom(int staged) const override { return accept && staged < room; }
    bool Waiting(const std::string& message) const override
    {
        for (const auto& w : waiting)
            if (w == message)
                return true;
        return false;
    }
    void KillConnection() override { ++kills; }
    void AddToClientLogRing(const std::string& text) override { ring.push_back(text); }

    // The record texts offered so far.
    std::vector<std::string> texts() const
    {
        std::vector<std::string> out;
        for (const auto& r : offered)
            out.push_back(r.Message);
        return out;
    }

    bool accept = true;
    bool roomButRefuse = false;   // says it has room, then refuses the record
    int room = 1000;              // pages staged beside those it holds
    std::function<void(const messages::CommType&)> onSend;
    std::vector<messages::CommType> offered;
    std::vector<messages::Traffic> traffics;
    std::vector<std::string> waiting;   // texts the link says it still holds
    std::vector<std::string> ring;
    int kills = 0;
};

// A client S01 on a fresh embedded catalogue with its input queue reset
// to the given size, talking to switch h01 through a fake link.
class MessagesTest : public CatalogueTest {
protected:
    void SetUp() override
    {
        c = openClient("S01");
        makeQueue();
    }

    // A queue with its page store and its inbox; a new start makes another.
    void makeQueue()
    {
        inbox.reset();
        store.reset();
        queue = std::make_unique<messages::InputQueue>(
            clock, c->log, messages::InputQueue::Controls{c->form.lbQueSize, c->form.txbOutgoingPkts}, c->reg,
            c->config, link);
        queue->setSwitchId("h01");
        store = std::make_unique<messages::PageStore>(clock, c->log, *queue);
        inbox = std::make_unique<messages::SwitchInbox>(clock, c->reg, *queue, *store);
    }

    void setQueueSize(const std::string& value)
    {
        exec("UPDATE HXSClientConfig SET Value = '" + value + "' WHERE Parameter = 'QUEUE_SIZE'");
    }
    // Resets the queue to a valid size and forgets the log lines so far.
    void resetTo(int size)
    {
        setQueueSize(std::to_string(size));
        ASSERT_TRUE(queue->ResetInputQueue());
        c->drain();
    }
    const messages::QueueSlot& slot(int i) const { return queue->slot(i); }

    // A record text as the switch sends it.
    static std::string fromSwitch(std::int32_t messId, const std::string& word, const std::string& source = "h01")
    {
        messages::MessageType m;
        m.MessId = messId;
        m.Created = DateSerial::fromParts(2026, 1, 15, 9, 30, 0);
        m.Source = source;
        m.Number = "5551234";
        m.Message = "from the switch";
        m.EventLog = "09:30:00 CREATED ";
        m.ComChannel = word;
        return m.ConCatMe();
    }

    std::unique_ptr<CatalogueClient> c;
    FakeLink link;
    std::unique_ptr<messages::InputQueue> queue;
    std::unique_ptr<messages::PageStore> store;
    std::unique_ptr<messages::SwitchInbox> inbox;
};

}  // namespace smtpin::test
