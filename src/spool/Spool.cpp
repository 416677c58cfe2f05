#include "Spool.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>

namespace smtpin::spool {

namespace {

std::string errorOf(const QSqlQuery& q) { return q.lastError().text().toStdString(); }

}  // namespace

Spool::Spool() : name_(QStringLiteral("smtpin-spool-%1").arg(reinterpret_cast<quintptr>(this), 0, 16)) {}

Spool::~Spool() { Close(); }

bool Spool::exec(const QString& sql, std::string* why)
{
    QSqlQuery q(QSqlDatabase::database(name_, false));
    if (q.exec(sql))
        return true;
    if (why)
        *why = errorOf(q);
    return false;
}

bool Spool::Open(const std::string& path, std::string* why)
{
    Close();
    path_ = path;
    // One program per spool, wherever the spool is: two would both send it all.
    std::string lockWhy;
    if (!lock_.Acquire(path + ".lock", &lockWhy)) {
        if (why)
            *why = lockWhy.find("in use") != std::string::npos ? "the spool " + path + " is in use by another running smtpin"
                                                                : lockWhy;
        Close();
        return false;
    }
    // The handles of the attempt end before a failed one is cleaned up.
    if (!openFile(why)) {
        Close();
        return false;
    }
    open_ = true;
    return true;
}

bool Spool::openFile(std::string* why)
{
    auto fail = [&](const std::string& text) {
        if (why)
            *why = text;
        return false;
    };
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name_);
    db.setDatabaseName(QString::fromStdString(path_));
    // Nothing else writes it: a lock on it is a fault to report, not to wait out.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=100"));
    if (!db.open())
        return fail("cannot open " + path_ + ": " + db.lastError().text().toStdString());
    QSqlQuery q(db);
    // WAL and FULL: a commit is on disk when it returns, at one sync.
    if (!q.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !q.next() ||
        q.value(0).toString().compare(QStringLiteral("wal"), Qt::CaseInsensitive) != 0 ||
        !q.exec(QStringLiteral("PRAGMA synchronous=FULL")) || !q.exec(QStringLiteral("PRAGMA user_version")) ||
        !q.next())
        return fail("cannot set up " + path_ + ": " + errorOf(q));
    const int version = q.value(0).toInt();
    if (version > kSchemaVersion)
        return fail(path_ + " has spool schema " + std::to_string(version) + ", newer than this program's " +
                    std::to_string(kSchemaVersion));
    if (version == 0 && !createSchema(why))
        return false;
    // A damaged file is never half restored in silence: it stops the start
    // and stays as it is, for inspection.
    const bool checked = q.exec(QStringLiteral("PRAGMA quick_check")) && q.next();
    const std::string found = checked ? q.value(0).toString().left(300).toStdString() : errorOf(q);
    if (found != "ok")
        return fail(path_ + " is damaged (SQLite's quick_check: " + found +
                    "); it is kept as it is: move it aside with its -wal file to start with an empty spool");
    if (!q.exec(QStringLiteral("SELECT COUNT(*), COALESCE(MAX(Seq), 0) FROM Spool")) || !q.next())
        return fail("cannot read " + path_ + ": " + errorOf(q));
    count_ = q.value(0).toInt();
    seq_ = q.value(1).toLongLong();
    if (!q.exec(QStringLiteral("SELECT MessId, Taken FROM Spool")))
        return fail("cannot read " + path_ + ": " + errorOf(q));
    while (q.next())
        track(q.value(0).toInt(), q.value(1).toLongLong());
    return true;
}

bool Spool::createSchema(std::string* why)
{
    QSqlDatabase db = QSqlDatabase::database(name_, false);
    db.transaction();
    // Seq orders the messages as they were taken, whatever the clock did.
    const bool ok = exec(QStringLiteral("CREATE TABLE Spool (MessId INTEGER PRIMARY KEY, Seq INTEGER NOT NULL, "
                                        "Taken INTEGER NOT NULL, Record BLOB NOT NULL)"),
                         why) &&
                    exec(QStringLiteral("PRAGMA user_version = %1").arg(kSchemaVersion), why);
    if (!ok || !db.commit()) {
        db.rollback();
        if (why && why->empty())
            *why = db.lastError().text().toStdString();
        return false;
    }
    return true;
}

void Spool::Close()
{
    if (open_)
        FlushForgotten();
    open_ = false;
    count_ = 0;
    forgotten_.clear();
    takenOf_.clear();
    takenTimes_.clear();
    if (QSqlDatabase::contains(name_)) {
        QSqlDatabase::database(name_, false).close();
        QSqlDatabase::removeDatabase(name_);
    }
    lock_.Release();
}

bool Spool::deleteForgotten(std::string* why)
{
    QSqlQuery q(QSqlDatabase::database(name_, false));
    q.prepare(QStringLiteral("DELETE FROM Spool WHERE MessId = ?"));
    int removed = 0;
    for (const std::int32_t id : forgotten_) {
        q.bindValue(0, id);
        if (!q.exec()) {
            if (why)
                *why = errorOf(q);
            return false;
        }
        removed += q.numRowsAffected();
    }
    count_ -= removed;
    return true;
}

bool Spool::Keep(std::int32_t messId, const std::string& record, std::int64_t taken, std::string* why)
{
    if (!open_) {
        if (why)
            *why = "the spool is not open";
        return false;
    }
    QSqlDatabase db = QSqlDatabase::database(name_, false);
    if (!db.transaction()) {
        if (why)
            *why = db.lastError().text().toStdString();
        return false;
    }
    const int before = count_;
    QSqlQuery q(db);
    q.prepare(QStringLiteral("INSERT INTO Spool (MessId, Seq, Taken, Record) VALUES (?, ?, ?, ?)"));
    q.addBindValue(messId);
    q.addBindValue(static_cast<qint64>(seq_ + 1));
    q.addBindValue(static_cast<qint64>(taken));
    q.addBindValue(QByteArray(record.data(), static_cast<qsizetype>(record.size())));
    bool ok = deleteForgotten(why);
    if (ok && !q.exec()) {
        ok = false;
        if (why)
            *why = errorOf(q);
    }
    if (!ok || !db.commit()) {
        if (why && why->empty())
            *why = db.lastError().text().toStdString();
        db.rollback();
        count_ = before;
        return false;
    }
    forgotten_.clear();
    ++count_;
    ++seq_;
    track(messId, taken);
    return true;
}

void Spool::Forget(std::int32_t messId)
{
    if (open_ && std::find(forgotten_.begin(), forgotten_.end(), messId) == forgotten_.end())
        forgotten_.push_back(messId);
    untrack(messId);
}

void Spool::track(std::int32_t messId, std::int64_t taken)
{
    untrack(messId);
    takenOf_[messId] = taken;
    takenTimes_.insert(taken);
}

void Spool::untrack(std::int32_t messId)
{
    const auto it = takenOf_.find(messId);
    if (it == takenOf_.end())
        return;
    takenTimes_.erase(takenTimes_.find(it->second));
    takenOf_.erase(it);
}

std::optional<std::int64_t> Spool::OldestTaken() const
{
    if (takenTimes_.empty())
        return std::nullopt;
    return *takenTimes_.begin();
}

bool Spool::Drop(std::int32_t messId)
{
    if (!open_)
        return false;
    QSqlQuery q(QSqlDatabase::database(name_, false));
    q.prepare(QStringLiteral("DELETE FROM Spool WHERE MessId = ?"));
    q.addBindValue(messId);
    if (!q.exec())
        return false;
    count_ -= q.numRowsAffected();
    untrack(messId);
    return true;
}

bool Spool::FlushForgotten()
{
    if (!open_ || forgotten_.empty())
        return true;
    QSqlDatabase db = QSqlDatabase::database(name_, false);
    if (!db.transaction())
        return false;
    const int before = count_;
    if (!deleteForgotten(nullptr) || !db.commit()) {
        db.rollback();
        count_ = before;
        return false;
    }
    forgotten_.clear();
    return true;
}

std::vector<SpooledMessage> Spool::All(std::string* why)
{
    std::vector<SpooledMessage> out;
    QSqlQuery q(QSqlDatabase::database(name_, false));
    if (!open_ || !q.exec(QStringLiteral("SELECT MessId, Taken, Record FROM Spool ORDER BY Seq"))) {
        if (why)
            *why = open_ ? errorOf(q) : "the spool is not open";
        return out;
    }
    while (q.next()) {
        const QByteArray record = q.value(2).toByteArray();
        out.push_back({q.value(0).toInt(), std::string(record.constData(), static_cast<std::size_t>(record.size())),
                       q.value(1).toLongLong()});
    }
    return out;
}

}  // namespace smtpin::spool
