// The spool file alone: what is kept survives a reopen, in order; only what
// is forgotten or dropped goes; a file it cannot use is refused with why.
#include "spool/Spool.h"

#include "support/TempDir.h"

#include <QSqlDatabase>
#include <QSqlQuery>

#include <gtest/gtest.h>

namespace smtpin::test {
namespace {

using spool::Spool;

std::vector<std::int32_t> ids(Spool& s)
{
    std::vector<std::int32_t> out;
    for (const auto& m : s.All())
        out.push_back(m.messId);
    return out;
}

// In the order kept, whatever the clock said (it may be set back).
TEST(SpoolFile, KeepsInTheOrderKeptAcrossAReopen)
{
    TempDir dir;
    const std::string file = dir.file("spool.sqlite");
    {
        Spool s;
        std::string why;
        ASSERT_TRUE(s.Open(file, &why)) << why;
        // Bytes as they are: the record text is 8-bit.
        ASSERT_TRUE(s.Keep(30, std::string("caf\xe9|x\x01y", 8), 2000, &why)) << why;
        ASSERT_TRUE(s.Keep(10, "second", 3000, &why));
        ASSERT_TRUE(s.Keep(20, "first", 1000, &why));
        EXPECT_FALSE(s.Keep(10, "same id again", 4000, &why));   // never overwrites another page
        EXPECT_FALSE(why.empty());
        EXPECT_EQ(s.Count(), 3);
    }
    Spool again;
    std::string why;
    ASSERT_TRUE(again.Open(file, &why)) << why;
    EXPECT_EQ(again.Count(), 3);
    const auto all = again.All();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].messId, 30);
    EXPECT_EQ(all[0].record, std::string("caf\xe9|x\x01y", 8));   // bytes as they were
    EXPECT_EQ(all[1].record, "second");
    EXPECT_EQ(all[2].messId, 20);
    EXPECT_EQ(all[2].taken, 1000);
}

TEST(SpoolFile, OnlyForgottenOrDroppedMessagesGo)
{
    TempDir dir;
    const std::string file = dir.file("spool.sqlite");
    std::string why;
    {
        Spool s;
        ASSERT_TRUE(s.Open(file, &why));
        for (int id = 1; id <= 4; ++id)
            ASSERT_TRUE(s.Keep(id, "m" + std::to_string(id), id, &why));
        s.Forget(2);
        s.Forget(2);               // a DELETE told twice counts once
        s.Forget(3);
        EXPECT_EQ(s.Count(), 2);   // counted at once, written with the next commit
        EXPECT_EQ(ids(s), (std::vector<std::int32_t>{1, 2, 3, 4}));
        ASSERT_TRUE(s.Keep(6, "m6", 6, &why));
        EXPECT_EQ(ids(s), (std::vector<std::int32_t>{1, 4, 6}));
        ASSERT_TRUE(s.Keep(3, "m3 again", 7, &why));   // an id the switch deleted may come back
        EXPECT_EQ(s.Count(), 4);
        EXPECT_TRUE(s.Drop(4));
        s.Forget(1);
        // The close commits what was forgotten.
    }
    Spool again;
    ASSERT_TRUE(again.Open(file, &why));
    EXPECT_EQ(ids(again), (std::vector<std::int32_t>{6, 3}));   // in the order kept
    again.Forget(6);
    EXPECT_TRUE(again.FlushForgotten());
    EXPECT_EQ(ids(again), (std::vector<std::int32_t>{3}));
}

TEST(SpoolFile, IsWrittenAheadWithItsSchemaVersion)
{
    TempDir dir;
    Spool s;
    std::string why;
    ASSERT_TRUE(s.Open(dir.file("spool.sqlite"), &why));
    QSqlDatabase side = QSqlDatabase::addDatabase("QSQLITE", "spool-side");
    side.setDatabaseName(QString::fromStdString(dir.file("spool.sqlite")));
    ASSERT_TRUE(side.open());
    {
        QSqlQuery q(side);
        ASSERT_TRUE(q.exec("PRAGMA journal_mode") && q.next());
        EXPECT_EQ(q.value(0).toString(), "wal");
        ASSERT_TRUE(q.exec("PRAGMA user_version") && q.next());
        EXPECT_EQ(q.value(0).toInt(), Spool::kSchemaVersion);
    }
    side.close();
    side = QSqlDatabase();
    QSqlDatabase::removeDatabase("spool-side");
}

TEST(SpoolFile, AFileItCannotUseIsRefusedWithWhy)
{
    TempDir dir;
    Spool s;
    std::string why;
    EXPECT_FALSE(s.Open(dir.file("no/such/folder/spool.sqlite"), &why));
    EXPECT_NE(why.find("no/such/folder"), std::string::npos) << why;
    EXPECT_FALSE(s.IsOpen());
    EXPECT_FALSE(s.Keep(1, "x", 1, &why));
    EXPECT_EQ(why, "the spool is not open");

    // Written by a newer program: not touched.
    const std::string newer = dir.file("newer.sqlite");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "spool-newer");
        db.setDatabaseName(QString::fromStdString(newer));
        ASSERT_TRUE(db.open());
        QSqlQuery(db).exec("PRAGMA user_version = 7");
        db.close();
    }
    QSqlDatabase::removeDatabase("spool-newer");
    EXPECT_FALSE(s.Open(newer, &why));
    EXPECT_NE(why.find("spool schema 7, newer than this program's 1"), std::string::npos) << why;

    const std::string notSqlite = dir.file("text.sqlite");
    TempDir::write(notSqlite, std::string(4096, 'x'));
    EXPECT_FALSE(s.Open(notSqlite, &why));
    EXPECT_FALSE(why.empty());
}

// A spool another program has locked: the commit fails at once (the sender
// gets 451), nothing is counted, and what was forgotten is kept to forget.
TEST(SpoolFile, ACommitThatFailsChangesNothing)
{
    TempDir dir;
    const std::string file = dir.file("spool.sqlite");
    Spool s;
    std::string why;
    ASSERT_TRUE(s.Open(file, &why));
    ASSERT_TRUE(s.Keep(1, "one", 1, &why));
    ASSERT_TRUE(s.Keep(2, "two", 2, &why));
    s.Forget(1);
    {
        QSqlDatabase side = QSqlDatabase::addDatabase("QSQLITE", "spool-locker");
        side.setDatabaseName(QString::fromStdString(file));
        ASSERT_TRUE(side.open());
        QSqlQuery lock(side);
        ASSERT_TRUE(lock.exec("BEGIN EXCLUSIVE"));
        EXPECT_FALSE(s.Keep(3, "three", 3, &why));
        EXPECT_NE(why.find("locked"), std::string::npos) << why;
        EXPECT_EQ(s.Count(), 1);
        EXPECT_TRUE(lock.exec("ROLLBACK"));
        side.close();
    }
    QSqlDatabase::removeDatabase("spool-locker");
    ASSERT_TRUE(s.Keep(3, "three", 3, &why)) << why;
    EXPECT_EQ(ids(s), (std::vector<std::int32_t>{2, 3}));
    EXPECT_EQ(s.Count(), 2);

    // One program per spool.
    Spool second;
    EXPECT_FALSE(second.Open(file, &why));
    EXPECT_NE(why.find("is in use by another running smtpin"), std::string::npos) << why;
}

}  // namespace
}  // namespace smtpin::test
