#include "MessagesFixture.h"

using namespace smtpin;
using namespace smtpin::messages;
using namespace smtpin::test;

namespace {

using QueueRules = MessagesTest;

void expectAllFree(const InputQueue& queue)
{
    for (int i = 0; i < InputQueue::kSlotCount; ++i) {
        const QueueSlot& s = queue.slot(i);
        EXPECT_TRUE(s.Free);
        EXPECT_EQ(s.QueueName, "NOT_Qued");
        EXPECT_EQ(s.Group, "NULL");
        EXPECT_EQ(s.Mess.MessId, 0);
    }
}

TEST_P(QueueRules, ResetReadsTheSizeAndForgetsEveryMessage)
{
    resetTo(301);
    resetTo(5);
    EXPECT_EQ(c->form.lbQueSize.caption(), "Input Queue Size = 6");   // slots 0 to 5
    for (int id : {11, 12})
        inbox->AddInputQueFromSwitch(fromSwitch(id, "NEWMESS"));
    ASSERT_TRUE(queue->ResetInputQueue());
    expectAllFree(*queue);
    EXPECT_EQ(queue->FindQueuedMessage(12), -1);
    EXPECT_TRUE(link.offered.empty());   // the switch is told nothing

    // An invalid size read later keeps the previous one, and still resets.
    inbox->AddInputQueFromSwitch(fromSwitch(11, "NEWMESS"));
    c->drain();
    setQueueSize("302");
    EXPECT_FALSE(queue->ResetInputQueue());
    EXPECT_EQ(queue->queueSize(), 5);
    EXPECT_EQ(queue->FindQueuedMessage(11), -1);
    EXPECT_EQ(c->drain(), std::vector<std::string>{"  RIQ: QUEUE_SIZE '302' is not valid, keeping 5"});
}

TEST_P(QueueRules, AnInvalidFirstSizeLeavesAQueueWithoutSlots)
{
    for (const std::string bad : {"-1", "ten", "", "<missing>"}) {
        SCOPED_TRACE(bad);
        if (bad == "<missing>")
            exec("DELETE FROM HXSClientConfig WHERE Parameter = 'QUEUE_SIZE'");
        else
            setQueueSize(bad);
        InputQueue fresh(clock, c->log, {c->form.lbQueSize, c->form.txbOutgoingPkts}, c->reg, c->config, link);
        messages::PageStore freshStore(clock, c->log, fresh);
        messages::SwitchInbox freshInbox(clock, c->reg, fresh, freshStore);
        EXPECT_FALSE(fresh.ResetInputQueue());
        EXPECT_EQ(fresh.GetFreeQueueSlot(), -1);
        freshInbox.AddInputQueFromSwitch(fromSwitch(5, "NEWMESS"));
        EXPECT_EQ(fresh.FindQueuedMessage(5), -1);
        const auto logged = c->drain();
        EXPECT_EQ(countContaining(logged, "is not valid, the queue has no slots"), 1);
        EXPECT_EQ(countContaining(logged, " AIQF: Unable to add to input que. Que is full."), 1);
    }
}

TEST_P(QueueRules, FreeSlotsAreFoundInRotation)
{
    resetTo(5);
    for (int expected : {1, 2, 3})   // one place after the last slot found
        EXPECT_EQ(queue->GetFreeQueueSlot(), expected);
    EXPECT_EQ(slot(3).QueueName, "INPUTQ");
    queue->InitQueueSlot(1);
    for (int expected : {4, 5, 0, 1, -1})   // wraps from QueueSize to 0
        EXPECT_EQ(queue->GetFreeQueueSlot(), expected);
    queue->InitQueueSlot(3);
    EXPECT_EQ(queue->GetFreeQueueSlot(), 3);

    resetTo(0);   // exactly one slot
    EXPECT_EQ(queue->GetFreeQueueSlot(), 0);
    EXPECT_EQ(queue->GetFreeQueueSlot(), -1);
}

// The operator hears once when the queue passes 80%, and again only after
// it drained below 70%.
TEST_P(QueueRules, AQueueAbove80PercentIsLoggedOncePerRise)
{
    resetTo(9);   // ten slots
    for (int i = 0; i < 8; ++i)
        queue->GetFreeQueueSlot();
    EXPECT_EQ(countContaining(c->drain(), "above 80%"), 0);
    queue->GetFreeQueueSlot();
    queue->GetFreeQueueSlot();
    EXPECT_EQ(c->drain(), std::vector<std::string>{"  SM: Input queue above 80% full (9 of 10 slots)"});
    EXPECT_EQ(queue->Depth(), 10);
    for (int i : {0, 1, 2, 3})
        queue->InitQueueSlot(i);
    queue->GetFreeQueueSlot();   // 7 of 10: not yet below 70%
    for (int i : {4, 5})
        queue->InitQueueSlot(i);
    queue->GetFreeQueueSlot();   // 6 of 10
    for (int i = 0; i < 3; ++i)  // 7, 8, then 9 of 10 again
        queue->GetFreeQueueSlot();
    EXPECT_EQ(countContaining(c->drain(), "  SM: Input queue above 80% full (9 of 10 slots)"), 1);
}

TEST_P(QueueRules, StatusIsAppendedOnlyWhenItChanges)
{
    resetTo(3);
    clock.set(DateSerial::fromParts(2026, 1, 15, 11, 12, 13));
    for (const char* word : {"PORTASSIG", "PORTASSIG", "TCPPKTBAD", "PORTASSIG"})
        queue->SetQueueStatus(1, word);
    EXPECT_EQ(slot(1).Mess.EventLog, " 11:12:13 PORTASSIG 11:12:13 TCPPKTBAD 11:12:13 PORTASSIG");
    EXPECT_EQ(slot(1).Mess.status, "PORTASSIG");
    // The memory belongs to the slot: a record the switch puts there finds
    // it, and only the slot's initialisation forgets it.
    ASSERT_EQ(inbox->AddInputQueFromSwitch(fromSwitch(4711, "NEWMESS")), "NEWMESS");
    ASSERT_EQ(queue->FindQueuedMessage(4711), 1);
    EXPECT_EQ(slot(1).Mess.EventLog, "09:30:00 CREATED ");
    queue->InitQueueSlot(1);
    queue->SetQueueStatus(1, "PORTASSIG");
    EXPECT_EQ(slot(1).Mess.EventLog, " 11:12:13 PORTASSIG");
}

TEST_P(QueueRules, OutgoingCountWrapsAfterOneThousandMillion)
{
    std::int32_t n = 1000000000;
    InputQueue::IncCounter(n);
    EXPECT_EQ(n, 1000000001);
    InputQueue::IncCounter(n);
    EXPECT_EQ(n, 1);

    EXPECT_TRUE(queue->SendToSwitch("a", "h01"));
    EXPECT_EQ(c->form.txbOutgoingPkts.text(), "1");
    link.accept = false;   // refused records are not counted
    EXPECT_FALSE(queue->SendToSwitch("b", "h01"));
    EXPECT_EQ(queue->outgoingCount(), 1);
}

TEST_P(QueueRules, TheRequestRecordAroundEachText)
{
    clock.set(DateSerial::fromParts(2026, 3, 4, 5, 6, 7));
    queue->SendToSwitch("first", "h01");
    queue->SendToSwitch("second", "h02");
    CommType expected;
    expected.Userid = expected.Source = "S01";
    expected.target = "h02";
    expected.SDate = clock.now();
    expected.EDate = DateSerial(2.0 / 3.0);   // 16:00:00 on the zero date
    expected.Message = "second";
    EXPECT_EQ(link.offered.at(1), expected);
}

INSTANTIATE_TEST_SUITE_P(SQLite, QueueRules, ::testing::Values(Backend::SQLite), backendName);

using ControlWords = MessagesTest;

TEST_P(ControlWords, SentOnTheirOwnRecordLeavingTheControlSlotAlone)
{
    resetTo(0);
    inbox->AddInputQueFromSwitch(fromSwitch(31, "NEWMESS"));
    ASSERT_EQ(queue->FindQueuedMessage(31), InputQueue::ControlSlot);
    const std::string queued = slot(0).Mess.ConCatMe();
    c->drain();

    queue->SendUpdate(true, "READY");
    queue->SendUpdate(false, "UNAVAIL");
    MessageType control;
    control.Source = "S01";
    control.ComChannel = "READY";
    const std::string ready = control.ConCatMe();
    control.ComChannel = "UNAVAIL";
    EXPECT_EQ(link.texts(), (std::vector<std::string>{ready, control.ConCatMe()}));
    EXPECT_EQ(link.offered[0].target, "h01");
    EXPECT_EQ(link.ring, (std::vector<std::string>{"-->UPDATE", "-->CONTROL READY", "-->UPDATE", "-->CONTROL UNAVAIL"}));
    EXPECT_EQ(slot(0).Mess.ConCatMe(), queued);
    EXPECT_EQ(c->drain(), std::vector<std::string>{"READY"});   // only with the log flag
    EXPECT_NE(c->form.lbxSystemLog.item(0).find(" : 0000000000 READY"), std::string::npos);
}

TEST_P(ControlWords, AFailedSendKeepsTheQueueAndDropsTheLink)
{
    resetTo(5);
    for (int id : {41, 42})
        inbox->AddInputQueFromSwitch(fromSwitch(id, "NEWMESS"));
    c->drain();
    link.accept = false;

    queue->SendUpdate(true, "READY");
    EXPECT_EQ(link.traffics.back(), Traffic::StateWord);
    EXPECT_GE(queue->FindQueuedMessage(41), 0);
    EXPECT_GE(queue->FindQueuedMessage(42), 0);
    EXPECT_EQ(link.kills, 1);
    EXPECT_TRUE(link.ring.empty());
    EXPECT_EQ(c->drain(),
              (std::vector<std::string>{"  SU: SendControl Message failed. Queue kept for the next login.", "READY"}));
}

INSTANTIATE_TEST_SUITE_P(SQLite, ControlWords, ::testing::Values(Backend::SQLite), backendName);

using FromTheSwitch = MessagesTest;

TEST_P(FromTheSwitch, NewMessagesAreQueuedOnce)
{
    resetTo(5);
    clock.set(DateSerial::fromParts(2026, 1, 15, 10, 20, 30));
    const std::string text = fromSwitch(42, "NEWMESS");
    EXPECT_EQ(inbox->AddInputQueFromSwitch(text), "NEWMESS");
    ASSERT_EQ(queue->FindQueuedMessage(42), 1);
    EXPECT_EQ(slot(1).Mess.status, "PORTASSIG");
    EXPECT_EQ(slot(1).Mess.EventLog, "09:30:00 CREATED  10:20:30 PORTASSIG");
    EXPECT_EQ(c->drain(), std::vector<std::string>{" AIQF: [1] " + text});

    inbox->AddInputQueFromSwitch(text);
    EXPECT_EQ(c->drain(), std::vector<std::string>{" AIQF: Message already exists. :42"});
    EXPECT_EQ(queue->GetFreeQueueSlot(), 2);   // the duplicate took no slot
    EXPECT_TRUE(link.offered.empty());          // nothing is answered

    resetTo(0);
    inbox->AddInputQueFromSwitch(fromSwitch(1, "NEWMESS"));
    inbox->AddInputQueFromSwitch(fromSwitch(2, "NEWMESS"));
    EXPECT_EQ(countContaining(c->drain(), " AIQF: Unable to add to input que. Que is full."), 1);
    EXPECT_EQ(queue->FindQueuedMessage(2), -1);
}

// Only a record whose every field converts takes a slot: an empty field
// is no number, and no date.
TEST_P(FromTheSwitch, ANewMessageWithAFieldThatDoesNotConvertTakesNoSlot)
{
    resetTo(5);
    std::string text = fromSwitch(42, "NEWMESS");
    const std::string priority = "|h01||0|";
    text.replace(text.find(priority), priority.size(), "|h01|||");
    EXPECT_EQ(inbox->AddInputQueFromSwitch(text), "NEWMESS");
    EXPECT_EQ(c->drain(), std::vector<std::string>{" AIQF: Bad message conversion. <1>"});
    EXPECT_EQ(queue->FindQueuedMessage(42), -1);
    EXPECT_TRUE(slot(1).Free);
    EXPECT_EQ(slot(1).Mess.status, "TCPPKTBAD");
    inbox->AddInputQueFromSwitch(fromSwitch(42, "NEWMESS"));
    EXPECT_EQ(queue->FindQueuedMessage(42), 2);
}

TEST_P(FromTheSwitch, DeleteFreesTheSlotForTheSameIdentifier)
{
    resetTo(5);
    inbox->AddInputQueFromSwitch(fromSwitch(42, "NEWMESS"));
    inbox->AddInputQueFromSwitch(fromSwitch(43, "NEWMESS"));
    c->drain();

    EXPECT_EQ(inbox->AddInputQueFromSwitch(fromSwitch(42, "DELETE")), "DELETE");
    EXPECT_TRUE(slot(1).Free);
    EXPECT_EQ(slot(1).Mess.MessId, 0);
    EXPECT_EQ(queue->FindQueuedMessage(43), 2);
    inbox->AddInputQueFromSwitch(fromSwitch(42, "DELETE"));
    EXPECT_EQ(c->drain(), (std::vector<std::string>{"AIQF: Request DELETE message 42",
                                                    " AIQF: Message not in Q, DELETE not applicable."}));

    inbox->AddInputQueFromSwitch(fromSwitch(42, "NEWMESS"));
    EXPECT_GE(queue->FindQueuedMessage(42), 0);
    EXPECT_EQ(countContaining(c->drain(), "already exists"), 0);
}

TEST_P(FromTheSwitch, OtherWordsAndBadRecordsChangeNothing)
{
    resetTo(5);
    inbox->AddInputQueFromSwitch(fromSwitch(42, "NEWMESS"));
    c->drain();
    for (const char* word : {"UPDATE", "DONE", "delete", "SHUFFLE"})   // words are exact
        EXPECT_EQ(inbox->AddInputQueFromSwitch(fromSwitch(42, word)), word);
    // A record that ends early never reaches its command word.
    EXPECT_EQ(inbox->AddInputQueFromSwitch("42|01/01/2026|h01|DELETE"), "");
    EXPECT_EQ(queue->FindQueuedMessage(42), 1);
    EXPECT_TRUE(c->drain().empty());
}

// A switch that writes "12/8/2026 6:00:00 PM" still frees the slot: the
// record is applied by its message id and the field is told once.
TEST_P(FromTheSwitch, ADeleteWithAnUnreadableDateFreesItsSlot)
{
    resetTo(5);
    inbox->AddInputQueFromSwitch(fromSwitch(42, "NEWMESS"));
    c->drain();
    EXPECT_EQ(inbox->AddInputQueFromSwitch("0000042|12/8/2026 6:00:00 PM|h01|||||||||||||||DELETE"), "DELETE");
    EXPECT_EQ(queue->FindQueuedMessage(42), -1);
    EXPECT_EQ(c->drain(),
              (std::vector<std::string>{" AIQF: Unreadable field Created '12/8/2026 6:00:00 PM' in DELETE record, "
                                        "applied by message id",
                                        "AIQF: Request DELETE message 42"}));
}

TEST_P(FromTheSwitch, ReadyAndUnavailableMarkTheSourceClient)
{
    addClientRow("S02");
    const auto available = [this](const std::string& device) {
        return value("SELECT Available FROM HXSClient WHERE Device = '" + device + "'").toString();
    };
    EXPECT_EQ(inbox->AddInputQueFromSwitch(fromSwitch(0, "READY", "S02")), "READY");
    EXPECT_EQ(available("S02"), "1");
    EXPECT_EQ(available("S01"), "0");
    EXPECT_EQ(inbox->AddInputQueFromSwitch(fromSwitch(0, "UNAVAIL", "S02")), "UNAVAIL");
    EXPECT_EQ(available("S02"), "0");
}

TEST_P(FromTheSwitch, ADeleteWhoseIdCannotBeReadFreesNothing)
{
    resetTo(5);
    inbox->AddInputQueFromSwitch(fromSwitch(0, "NEWMESS"));
    c->drain();
    EXPECT_EQ(inbox->AddInputQueFromSwitch("12x|01/01/2026|h01|||||||||||||||DELETE"), "DELETE");
    EXPECT_GE(queue->FindQueuedMessage(0), 0);
    EXPECT_EQ(c->drain(), std::vector<std::string>{
                              " AIQF: Unreadable message id in DELETE record, ignored: MessId '12x'"});
    // The switch's link watchdog reaches the queue as data: nothing to say about it.
    EXPECT_EQ(inbox->AddInputQueFromSwitch("Commclass System WatchDog (Level 1) ...."), "");
    EXPECT_TRUE(c->drain().empty());
}

INSTANTIATE_TEST_SUITE_P(SQLite, FromTheSwitch, ::testing::Values(Backend::SQLite), backendName);

// After a login every page created here and not yet deleted goes again,
// oldest first, except one still waiting in the link; then the last state word.
class AfterLogin : public MessagesTest {
protected:
    std::string page(std::int32_t id)
    {
        const std::int16_t i = queue->GetFreeQueueSlot();
        MessageType m;
        m.MessId = id;
        m.ComChannel = "NEWMESS";
        m.Message = "page " + std::to_string(id);
        queue->StagePage(i, m);
        queue->Unstage(i);
        return slot(i).Mess.ConCatMe();
    }
    // The next slot handed out is the one after slot n.
    void pointAt(int n)
    {
        while (queue->queuePointer() != n)
            queue->NextQueueSlot();
    }
};

TEST_P(AfterLogin, WhatTheSwitchHasNotDeletedGoesAgainOldestFirst)
{
    resetTo(5);
    pointAt(3);   // slots are taken from 4 on, wrapping: age is not slot order
    const std::string a = page(11), b = page(12), waiting = page(13), d = page(14);
    inbox->AddInputQueFromSwitch(fromSwitch(12, "DELETE"));
    pointAt(4);
    inbox->AddInputQueFromSwitch(fromSwitch(77, "NEWMESS"));   // the switch's own, in 12's slot
    ASSERT_EQ(queue->FindQueuedMessage(77), 5);
    queue->SendUpdate(false, "UNAVAIL");
    queue->SendUpdate(false, "READY");
    link.offered.clear();
    link.traffics.clear();
    link.waiting = {waiting};
    c->drain();

    EXPECT_EQ(queue->ResendAfterLogin(), 2);
    ASSERT_EQ(link.offered.size(), 3u);
    EXPECT_EQ(link.offered[0].Message, a);
    EXPECT_EQ(link.offered[1].Message, d);
    EXPECT_NE(link.offered[2].Message.find("|READY"), std::string::npos);
    EXPECT_EQ(link.traffics, (std::vector<messages::Traffic>{messages::Traffic::Resend, messages::Traffic::Resend,
                                                              messages::Traffic::StateWord}));
    EXPECT_EQ(c->drain(), (std::vector<std::string>{"  RS: Sent again after login 11",
                                                    "  RS: Sent again after login 14"}));
}

INSTANTIATE_TEST_SUITE_P(SQLite, AfterLogin, ::testing::Values(Backend::SQLite), backendName);

}  // namespace
