#include "MessagesFixture.h"

#include "messages/MessageCreation.h"

#include <fstream>
#include <set>

using namespace smtpin;
using namespace smtpin::messages;
using namespace smtpin::test;

namespace {

class Creation : public MessagesTest {
protected:
    void SetUp() override
    {
        MessagesTest::SetUp();
        creation = std::make_unique<MessageCreation>(clock, c->log, c->db, c->reg, *queue, *store, link);
        resetTo(5);
    }
    bool send(std::string& text) { return sendFor(text) == PageOutcome::Queued; }
    PageOutcome sendFor(std::string& text)
    {
        PageRequest page{text, "5551234", "h4sh", requested, "DISPATCH7", "10.1.2.3"};
        const PageOutcome taken = creation->SendMessage(page);
        text = page.message;   // as cut
        return taken;
    }
    MessageType lastSent()
    {
        MessageType m;
        EXPECT_TRUE(m.ConvertIntoMtype(link.offered.at(link.offered.size() - 1).Message));
        return m;
    }
    void expectInBand(std::int32_t id, std::int32_t base)
    {
        EXPECT_GE(id, base);
        EXPECT_LE(id, base + 864000);
    }

    DateSerial requested = DateSerial::fromParts(2026, 1, 15, 9, 59, 30);
    std::unique_ptr<MessageCreation> creation;
};

TEST_P(Creation, TheRecordSentForANewMessage)
{
    clock.set(DateSerial::fromParts(2026, 1, 15, 10, 11, 12));
    std::string text = "Fire alarm, level 2";
    ASSERT_TRUE(send(text));
    EXPECT_EQ(link.offered.at(0).target, "h01");
    const MessageType sent = lastSent();
    EXPECT_EQ(sent.MessId, 1000001);   // drawn from the catalogue
    EXPECT_EQ(sent.ComChannel, "NEWMESS");
    EXPECT_EQ(sent.status, "PORTASSIG");
    EXPECT_EQ(sent.EventLog, "10:11:12 CREATED ");
    EXPECT_EQ(sent.Created, requested);
    EXPECT_EQ(sent.Source, "S01");
    EXPECT_EQ(sent.Message + sent.Number + sent.Hash + sent.Machine + sent.InterfaceAddress,
              text + "5551234h4shDISPATCH710.1.2.3");

    ASSERT_EQ(queue->FindQueuedMessage(1000001), 1);
    EXPECT_EQ(slot(1).Group, "GROUPCHECK");
    EXPECT_EQ(slot(1).QueueName, "INPUTQ");
    EXPECT_EQ(link.ring, std::vector<std::string>{"-->MSG"});
    EXPECT_EQ(c->drain(), (std::vector<std::string>{"GSMI: Message ids 1000001 to 1000100 reserved",
                                                    "  SM: Adding new mess " + link.offered[0].Message}));

    inbox->AddInputQueFromSwitch(fromSwitch(1000001, "DELETE"));   // the switch's answer
    EXPECT_TRUE(slot(1).Free);
}

TEST_P(Creation, TextsAreCutTo160CharactersInTheCallersVariable)
{
    std::string exact(160, 'e');
    ASSERT_TRUE(send(exact));
    EXPECT_EQ(exact, std::string(160, 'e'));
    EXPECT_EQ(countContaining(c->drain(), " cut to "), 0);
    std::string longer = std::string(160, 'a') + "b";
    ASSERT_TRUE(send(longer));
    EXPECT_EQ(longer, std::string(160, 'a'));
    EXPECT_EQ(lastSent().Message, longer);
    // The operator learns what the pager did not get.
    EXPECT_EQ(countContaining(c->drain(), "  SM: Message of 161 characters cut to 160"), 1);
}

TEST_P(Creation, AFullQueueTouchesNothing)
{
    resetTo(0);
    std::string first = "first";
    ASSERT_TRUE(send(first));
    const std::string queued = slot(0).Mess.ConCatMe();
    c->drain();

    std::string second = "second";
    EXPECT_EQ(sendFor(second), PageOutcome::QueueFull);
    EXPECT_EQ(c->drain(), std::vector<std::string>{"  SM: Que full"});
    EXPECT_EQ(link.offered.size(), 1u);
    EXPECT_EQ(slot(0).Mess.ConCatMe(), queued);
    // No identifier was used for it: the next goes on from the first.
    EXPECT_EQ(c->reg.GetSystemMessageId(), 1000002);
}

// A link without room is asked first: no slot, no id, nothing on disk.
TEST_P(Creation, ALinkWithoutRoomRefusesBeforeAnythingIsTaken)
{
    resetTo(0);
    link.accept = false;
    std::string text(300, 'r');
    EXPECT_EQ(sendFor(text), PageOutcome::LinkBusy);
    EXPECT_EQ(text.size(), 160u);
    EXPECT_TRUE(slot(0).Free);
    EXPECT_EQ(slot(0).QueueName, "NOT_Qued");
    EXPECT_TRUE(link.offered.empty());
    EXPECT_TRUE(link.ring.empty());
    EXPECT_EQ(c->drain(), (std::vector<std::string>{"  SM: Message of 300 characters cut to 160",
                                                    "  SM: Link buffer full, message refused"}));

    link.accept = true;
    EXPECT_TRUE(send(text));
    EXPECT_EQ(queue->FindQueuedMessage(1000001), 0);
}

// No id can be had (none reserved, none drawn): refused, never one that may repeat.
TEST_P(Creation, WithoutAMessageIdTheMailIsRefused)
{
    exec("DELETE FROM HXSSystem WHERE Description = 'MessIdSystem'");
    std::string text = "no id";
    EXPECT_EQ(sendFor(text), PageOutcome::NoMessageId);
    EXPECT_TRUE(link.offered.empty());
    for (int i = 0; i <= queue->queueSize(); ++i)
        EXPECT_TRUE(slot(i).Free) << i;
    EXPECT_EQ(countContaining(c->drain(), "GSMI: No message id left and none can be drawn"), 1);
}

TEST_P(Creation, DefaultStartIdBands)
{
    std::set<std::int32_t> seen;
    for (int i = 0; i < 20; ++i) {
        clock.advanceSeconds(0.37);
        const std::int32_t id = creation->GetDefMessId();
        expectInBand(id, 1000000);
        seen.insert(id);
    }
    EXPECT_GT(seen.size(), 15u);   // each moment starts elsewhere
    EXPECT_EQ(creation->GetDefMessId(), creation->GetDefMessId());   // seeded from the clock

    exec("UPDATE HXSSystem SET Value = 'many' WHERE Description = 'DefMessIdSystem'");
    expectInBand(creation->GetDefMessId(), 8000000);
    EXPECT_EQ(countContaining(c->drain(), "GDMI: Unable to access connection to database for next message id."), 1);
    exec("UPDATE HXSSystem SET Value = '2147483647' WHERE Description = 'DefMessIdSystem'");
    expectInBand(creation->GetDefMessId(), 8000000);   // overflows with any offset

    exec("DELETE FROM HXSSystem WHERE Description = 'DefMessIdSystem'");
    expectInBand(creation->GetDefMessId(), 6000000);

    c->db.CloseSQLDatabase();
    const std::string blocker = dir.file("blocker");   // a file where the folder should be
    std::ofstream(blocker) << "not a folder";
    writeSettings("", blocker);
    c->drain();
    expectInBand(creation->GetDefMessId(), 7000000);
    EXPECT_EQ(countContaining(c->drain(), "GDMI: Unable to access database for next message id."), 1);
}

INSTANTIATE_TEST_SUITE_P(SQLite, Creation, ::testing::Values(Backend::SQLite), backendName);

}  // namespace
