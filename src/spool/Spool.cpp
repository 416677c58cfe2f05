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

QSqlQuery& Spool::prepared(std::unique_ptr<QSqlQuery>& slot, const char* sql)
{
    if (slot)
        return *slot;
    auto q = std::make_unique<QSqlQuery>(QSqlDatabase::database(name_, false));
    // One that would not prepare is used once, so its exec reports why,
    // and prepared again next time.
    std::unique_ptr<QSqlQuery>& keep = q->prepare(QString::fromLatin1(sql)) ? slot : unprepared_;
    keep = std::move(q);
    return *keep;
}

void Spool::Close()
{
    if (open_)
        FlushForgotten();
    // Statements go before the connection they were prepared on.
    insert_.reset();
    delete_.reset();
    unprepared_.reset();
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
    QSqlQuery& q = prepared(delete_, "DELETE FROM Spool WHERE MessId = ?");
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
    return KeepAll({{messId, record, taken}}, why);
}

bool Spool::KeepAll(const std::vector<SpooledMessage>& batch, std::string* why)
{
    // The first reason found is the one told; each refused batch is counted once.
    auto note = [&](const std::string& text) {
        if (why && why->empty())
            *why = text;
    };
    auto fail = [&](const std::string& text) {
        note(text);
        ++failures_;
        return false;
    };
    if (why)
        why->clear();
    if (!open_)
        return fail("the spool is not open");
    QSqlDatabase db = QSqlDatabase::database(name_, false);
    if (!db.transaction())
        return fail(db.lastError().text().toStdString());
    const int before = count_;
    QSqlQuery& q = prepared(insert_, "INSERT INTO Spool (MessId, Seq, Taken, Record) VALUES (?, ?, ?, ?)");
    bool ok = deleteForgotten(why);
    std::int64_t seq = seq_;
    for (std::size_t i = 0; ok && i < batch.size(); ++i) {
        const SpooledMessage& m = batch[i];
        q.bindValue(0, m.messId);
        q.bindValue(1, static_cast<qint64>(++seq));
        q.bindValue(2, static_cast<qint64>(m.taken));
        q.bindValue(3, QByteArray(m.record.data(), static_cast<qsizetype>(m.record.size())));
        if (!q.exec()) {
            note(errorOf(q));
            ok = false;
        }
    }
    if (!ok || !db.commit()) {
        const std::string error = db.lastError().text().toStdString();
        db.rollback();
        count_ = before;
        return fail(error);
    }
    forgotten_.clear();
    count_ += static_cast<int>(batch.size());
    seq_ = seq;
    ++commits_;
    messagesCommitted_ += batch.size();
    for (const SpooledMessage& m : batch)
        track(m.messId, m.taken);
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
