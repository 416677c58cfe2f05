// Message creation, the input queue and a real spool file: nothing is
// answered as taken before it is on disk, only a DELETE takes it off, and a
// new start finds every message again.
#include "MessagesFixture.h"

#include "messages/MessageCreation.h"
#include "spool/Spool.h"

namespace smtpin::test {
namespace {

using messages::Traffic;

class QueueSpool : public MessagesTest {
protected:
    void SetUp() override
    {
        MessagesTest::SetUp();
        creation = std::make_unique<messages::MessageCreation>(clock, c->log, c->db, c->reg, *queue, *store, link);
        std::string why;
        ASSERT_TRUE(spool.Open(dir.file("spool.sqlite"), &why)) << why;
        store->AttachSpool(&spool);
        resetTo(5);
    }

    PageOutcome send(const std::string& text)
    {
        PageRequest page{text, "4711", "h", clock.now(), "M", "1.2.3.4"};
        return creation->SendMessage(page);
    }

    std::vector<std::string> spooledTexts()
    {
        std::vector<std::string> out;
        for (const auto& m : spool.All()) {
            messages::MessageType r;
            r.ConvertIntoMtype(m.record);
            out.push_back(r.Message);
        }
        return out;
    }

    // A new start: another queue over the same spool file.
    void restart(int queueSize)
    {
        store->CloseSpool();
        std::string why;
        EXPECT_TRUE(spool.Open(dir.file("spool.sqlite"), &why)) << why;
        creation.reset();
        makeQueue();
        store->AttachSpool(&spool);
        setQueueSize(std::to_string(queueSize));
        EXPECT_TRUE(queue->ResetInputQueue());
        c->drain();
        creation = std::make_unique<messages::MessageCreation>(clock, c->log, c->db, c->reg, *queue, *store, link);
    }

    spool::Spool spool;
    std::unique_ptr<messages::MessageCreation> creation;
};

TEST_P(QueueSpool, AMessageIsOnDiskBeforeItIsTakenAndOffOnlyAfterItsDelete)
{
    // Already on disk when the link gets it, so before any reply.
    std::vector<std::string> onDiskAtSend;
    link.onSend = [&](const messages::CommType& r) {
        for (const auto& m : spool.All())
            if (m.record == r.Message)
                onDiskAtSend.push_back(m.record);
    };
    ASSERT_EQ(send("one"), PageOutcome::Queued);
    EXPECT_EQ(onDiskAtSend.size(), 1u);
    ASSERT_EQ(send("two"), PageOutcome::Queued);
    EXPECT_EQ(spooledTexts(), (std::vector<std::string>{"one", "two"}));
    const auto first = queue->slot(1).Mess.MessId;

    queue->ResetInputQueue();   // a queue cleared for any reason forgets nothing on disk
    EXPECT_EQ(spool.Count(), 2);

    restart(5);
    EXPECT_EQ(store->RestoreFromSpool(), 2);
    inbox->AddInputQueFromSwitch(fromSwitch(first, "DELETE"));
    store->FlushSpool();
    EXPECT_EQ(spooledTexts(), std::vector<std::string>{"two"});
}

TEST_P(QueueSpool, ASpoolThatCannotCommitGives451AndFreesTheSlot)
{
    spool.Close();
    EXPECT_EQ(send("not on disk"), PageOutcome::CannotStore);
    for (int i = 0; i <= queue->queueSize(); ++i)
        EXPECT_TRUE(slot(i).Free) << i;
    EXPECT_TRUE(link.offered.empty());   // never reached the switch either
    EXPECT_EQ(countContaining(c->drain(), "  SP: Spool did not keep message 1000001: the spool is not open"), 1);
}

TEST_P(QueueSpool, AFullSpoolRefusesAndSaysSoOnceAMinute)
{
    store->setSpoolMax(2);
    ASSERT_EQ(send("a"), PageOutcome::Queued);
    ASSERT_EQ(send("b"), PageOutcome::Queued);
    EXPECT_EQ(send("c"), PageOutcome::SpoolFull);
    EXPECT_EQ(send("d"), PageOutcome::SpoolFull);
    clock.advanceSeconds(30);
    EXPECT_EQ(send("e"), PageOutcome::SpoolFull);
    EXPECT_EQ(countContaining(c->drain(), "  SP: Spool full (2 messages), new mail refused"), 1);
    clock.advanceSeconds(31);
    EXPECT_EQ(send("f"), PageOutcome::SpoolFull);
    EXPECT_EQ(countContaining(c->drain(), "  SP: Spool full"), 1);
    EXPECT_EQ(spooledTexts(), (std::vector<std::string>{"a", "b"}));
}

// A page kept and then refused by the link must not come back after a restart:
// its sender was told 451 and sends it again.
TEST_P(QueueSpool, APageTheLinkRefusesAfterTheSpoolIsTakenBackOut)
{
    link.roomButRefuse = true;
    EXPECT_EQ(send("refused"), PageOutcome::LinkBusy);
    EXPECT_EQ(spool.Count(), 0);
    EXPECT_TRUE(spool.All().empty());
}

// More spooled than slots: the oldest fill the queue, the rest enter as
// DELETEs free slots, and go to the switch then.
TEST_P(QueueSpool, ARestartRestoresIdsAndTextsOldestFirstAndOverflowsAsSlotsFree)
{
    std::vector<std::string> sent;
    for (int i = 0; i < 5; ++i) {
        clock.advanceSeconds(1);
        ASSERT_EQ(send("page " + std::to_string(i)), PageOutcome::Queued);
        sent.push_back(link.offered.back().Message);
    }
    restart(2);   // three slots now
    link.offered.clear();
    EXPECT_EQ(store->RestoreFromSpool(), 3);
    EXPECT_EQ(store->WaitingForSlot(), 2);
    const auto lines = c->drain();
    EXPECT_EQ(countContaining(lines, "  SP: Restored message "), 3);
    EXPECT_EQ(countContaining(lines, "  SP: 3 messages restored from the spool, 2 waiting for a free slot"), 1);
    for (int i = 0; i < 3; ++i) {
        const std::int16_t s = queue->FindQueuedMessage(1000001 + i);
        ASSERT_GE(s, 0) << i;
        EXPECT_EQ(queue->slot(s).Mess.ConCatMe(), sent[static_cast<std::size_t>(i)]);
    }
    EXPECT_EQ(queue->ResendAfterLogin(), 3);

    link.offered.clear();
    inbox->AddInputQueFromSwitch(fromSwitch(1000002, "DELETE"));
    ASSERT_EQ(link.offered.size(), 1u);
    EXPECT_EQ(link.offered[0].Message, sent[3]);
    EXPECT_EQ(link.traffics.back(), Traffic::Resend);
    EXPECT_EQ(store->WaitingForSlot(), 1);
    EXPECT_EQ(countContaining(c->drain(), "  SP: Message 1000004 from the spool takes a freed slot"), 1);

    // The run before had sent the last one: its DELETE needs no slot.
    inbox->AddInputQueFromSwitch(fromSwitch(1000005, "DELETE"));
    EXPECT_EQ(store->WaitingForSlot(), 0);
    store->FlushSpool();
    for (const auto& m : spool.All())
        EXPECT_NE(m.messId, 1000005);
    EXPECT_EQ(countContaining(c->drain(), "AIQF: Request DELETE message 1000005 (still in the spool"), 1);
}

// Pages staged in one pass go to disk in one commit, then to the link, then
// their answers, each in the order staged.
class GroupCommit : public QueueSpool {
protected:
    PageOutcome submit(const std::string& text)
    {
        PageRequest page{text, "4711", "h", clock.now(), "M", "1.2.3.4"};
        return creation->Submit(page, [this, text](PageOutcome answer) {
            events.push_back("answer " + text + (answer == PageOutcome::Queued ? "" : " refused"));
            if (text == "first" && answerStagesAnother) {
                EXPECT_EQ(submit("late"), PageOutcome::Pending);
            }
        });
    }

    std::vector<std::string> events;
    bool answerStagesAnother = false;
};

TEST_P(GroupCommit, OneCommitThenTheLinkThenTheAnswers)
{
    link.onSend = [&](const messages::CommType& r) {
        messages::MessageType m;
        m.ConvertIntoMtype(r.Message);
        events.push_back("link " + m.Message + (spooledTexts().size() == 3 ? " on disk" : ""));
    };
    answerStagesAnother = true;
    for (const char* text : {"first", "second", "third"})
        ASSERT_EQ(submit(text), PageOutcome::Pending);
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(queue->ResendAfterLogin(), 0);   // a login before the commit sends nothing staged
    EXPECT_TRUE(spool.All().empty());

    creation->commitPending();
    EXPECT_EQ(events, (std::vector<std::string>{"link first on disk", "link second on disk", "link third on disk",
                                                "answer first", "answer second", "answer third"}));
    EXPECT_EQ(spool.Commits(), 1u);
    EXPECT_EQ(spool.MessagesCommitted(), 3u);
    // Staged by an answer: the next batch, with a commit of its own.
    EXPECT_EQ(creation->staged(), 1);
    creation->commitPending();
    EXPECT_EQ(spool.Commits(), 2u);
    EXPECT_EQ(spooledTexts(), (std::vector<std::string>{"first", "second", "third", "late"}));
    creation->commitPending();
    EXPECT_EQ(spool.Commits(), 2u);
}

TEST_P(GroupCommit, AFailedCommitSendsNothingAndRefusesItsWholeBatch)
{
    ASSERT_EQ(submit("a"), PageOutcome::Pending);
    ASSERT_EQ(submit("b"), PageOutcome::Pending);
    spool.Close();
    creation->commitPending();
    EXPECT_EQ(events, (std::vector<std::string>{"answer a refused", "answer b refused"}));
    EXPECT_TRUE(link.offered.empty());
    for (int i = 0; i <= queue->queueSize(); ++i)
        EXPECT_TRUE(slot(i).Free) << i;
    EXPECT_EQ(countContaining(c->drain(), "  SP: Spool did not keep message "), 2);
    EXPECT_EQ(spool.Failures(), 1u);   // one refused commit, however many pages it held
}

// A link lost between the stage and the commit has room for fewer: the
// rest are refused before anything is written.
TEST_P(GroupCommit, PagesBeyondTheLinksRoomAtTheCommitAreNeverWritten)
{
    for (const char* text : {"a", "b", "c"})
        ASSERT_EQ(submit(text), PageOutcome::Pending);
    link.room = 2;
    creation->commitPending();
    EXPECT_EQ(events, (std::vector<std::string>{"answer a", "answer b", "answer c refused"}));
    EXPECT_EQ(spooledTexts(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(queue->Depth(), 2);
}

TEST_P(GroupCommit, StagedPagesTakeTheirRoomInTheSpoolAndOnTheLink)
{
    store->setSpoolMax(3);
    ASSERT_EQ(send("on disk"), PageOutcome::Queued);
    ASSERT_EQ(submit("a"), PageOutcome::Pending);
    ASSERT_EQ(submit("b"), PageOutcome::Pending);
    EXPECT_EQ(submit("c"), PageOutcome::SpoolFull);
    creation->commitPending();
    store->setSpoolMax(100);
    link.room = 1;
    ASSERT_EQ(submit("d"), PageOutcome::Pending);
    EXPECT_EQ(submit("e"), PageOutcome::LinkBusy);
    creation->commitPending();
    EXPECT_EQ(spooledTexts(), (std::vector<std::string>{"on disk", "a", "b", "d"}));
}

INSTANTIATE_TEST_SUITE_P(SQLite, GroupCommit, ::testing::Values(Backend::SQLite), backendName);

INSTANTIATE_TEST_SUITE_P(SQLite, QueueSpool, ::testing::Values(Backend::SQLite), backendName);

}  // namespace
}  // namespace smtpin::test
