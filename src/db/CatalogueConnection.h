#pragma once

#include "db/Recordset.h"
#include "platform/Clock.h"
#include "platform/Controls.h"
#include "platform/SettingsStore.h"

#include <QSqlDatabase>
#include <QString>
#include <QVariant>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace smtpin {
class SystemLog;
}  // namespace smtpin

namespace smtpin::db {

// The one connection to the shared catalogue (the system's SystemADODB
// module): where it is, opening and closing it, running statements, the hit
// counter and the error handler with its reconnection hold-off.
//
// Statements are written with [Name] for identifiers, which the driver
// quotes, GETDATE() for the server's "now", which becomes the driver's own
// expression, and ? for values, which are always bound.
class CatalogueConnection {
public:
    static constexpr const char* kDatabaseKey = "Software\\VORN\\HXS\\Database";
    static constexpr const char* kDefaultDataSource = "192.168.1.10";
    static constexpr const char* kDefaultInitialCatalog = "HXSMKII";
    static constexpr const char* kDefaultOdbcConnection =
        "Driver=FreeTDS;Server=%DataSource%;Port=1433;Database=%InitialCatalog%;APP=HXS-SMTP;Trusted_Connection=Yes";
    static constexpr std::size_t kMaxConnectionString = 4096;
    static constexpr double kErrorHoldOffDays = 10.0 / 86400.0;
    static constexpr std::size_t kMaxErrorText = 16 * 1024;
    static constexpr int kMaxHits = 1000000000;

    enum class Driver { SQLite, Odbc };

    // What the settings say, read afresh on every open.
    struct Location {
        Driver driver = Driver::SQLite;
        std::string dataSource;
        std::string initialCatalog;
        std::string databaseName;   // the SQLite file, or the ODBC connection string
        std::string serverNow;      // the driver's GETDATE()
        bool createCatalogue = true;
        std::string problem;        // non-empty: the settings cannot be used
    };

    // The main window's controls this connection writes.
    struct Controls {
        TextBox& txbDatabaseHits;
        TextBox& txbDataSource;
        TextBox& txbInitialCatalog;
    };

    // dataFolder holds the embedded catalogue unless DataSource names another.
    CatalogueConnection(const Clock& clock, SystemLog& log, Controls controls, const SettingsStore& settings,
                        std::string dataFolder);
    ~CatalogueConnection();
    CatalogueConnection(const CatalogueConnection&) = delete;
    CatalogueConnection& operator=(const CatalogueConnection&) = delete;

    bool EnsureSQLDatabase();
    bool OpenSQLDatabase();
    void CloseSQLDatabase();
    std::string ReadDatabaseSetting(const std::string& name, const std::string& defaultValue) const;
    Location ReadLocation() const;

    // How a guarded call is told: the line reported when the work fails,
    // the line logged when the catalogue cannot be opened (none when null),
    // and whether the call counts as a database hit.
    struct Call {
        const char* failure;
        const char* closed = nullptr;
        bool counted = true;
    };
    // The one way the routines use the catalogue: opened if need be and
    // counted, the work run, and a fault reported (logged, the connection
    // opened again) without leaving it. Answers the work's value, or
    // nothing when it could not run; true or false for work without one.
    template <typename Work>
    auto guarded(const Call& call, Work&& work);

    // Rows of a query; throws DatabaseFault when it cannot run. Called
    // inside guarded work, which catches it.
    Recordset OpenRecordset(const std::string& sql, const std::vector<QVariant>& values = {});
    // A statement without rows; the number of rows it changed.
    int Execute(const std::string& sql, const std::vector<QVariant>& values = {});

    // One transaction: rolled back when the guard goes before commit() (the
    // work threw); commit() throws DatabaseFault when the catalogue refuses.
    class Transaction {
    public:
        explicit Transaction(CatalogueConnection& db);
        ~Transaction();
        Transaction(const Transaction&) = delete;
        Transaction& operator=(const Transaction&) = delete;
        void commit();

    private:
        CatalogueConnection& db_;
        bool open_ = false;
    };

    void CountDatabaseHit();
    static std::string QuoteSQL(const std::string& text);
    // Logs the failure (at most once in ten seconds, then closes and opens
    // again) with the driver's description of it.
    void ReportDatabaseError(const std::string& message, const std::string& description = {});
    void ReportDatabaseError(const std::string& message, const DatabaseFault& cause)
    {
        ReportDatabaseError(message, cause.description);
    }

    // A time of the program's clock as the driver binds it.
    QVariant timeValue(DateSerial t) const;
    const Clock& clock() const { return clock_; }
    SystemLog& log() { return log_; }
    bool isOpen() const;
    QString connectionName() const { return name_; }
    const Location& location() const { return location_; }
    // The statement as the driver will get it.
    QString statementText(const std::string& sql) const;

    // The housekeeping tick: a connection nothing has used for a while is
    // checked, and a closed one opened again, so a dropped connection is
    // found while idle rather than by the next mail.
    void CheckWhileIdle();
    static constexpr double kIdleCheckSeconds = 30.0;
    static constexpr double kReopenHoldOffSeconds = 10.0;

    // Longest wait of one statement on a catalogue that is busy or locked.
    static constexpr int kBusyTimeoutMs = 100;

    // Uses of the catalogue, shown on the main window; the count after n.
    int databaseHits() const { return DatabaseHits; }
    void ResetDatabaseHits() { DatabaseHits = 0; }
    static int NextHitCount(int n) { return n >= kMaxHits ? 1 : n + 1; }
    // When the last failure was logged, and the failures' text since start
    // (its newest part).
    DateSerial lastDatabaseErrorTime() const { return LastDatabaseErrorTime; }
    const std::string& lastDatabaseErrorText() const { return LastDatabaseErrorText; }

    // Errors reported since start, for the metrics.
    std::uint64_t ErrorsReported() const { return errorsReported_; }

private:
    std::uint64_t errorsReported_ = 0;
    int DatabaseHits = 0;
    DateSerial LastDatabaseErrorTime;
    std::string LastDatabaseErrorText;
    // A guarded call's start: false (the closed line logged) when the
    // catalogue cannot be opened.
    bool begin(const Call& call);
    void useWriteAheadLog(QSqlDatabase& db);
    QString checkSchema(bool mayCreate);
    void release();
    QSqlQuery prepared(const std::string& sql, const std::vector<QVariant>& values);
    [[noreturn]] void fail(const QString& description);
    void appendErrorText(const std::string& text);

    const Clock& clock_;
    SystemLog& log_;
    Controls view_;
    const SettingsStore& settings_;
    std::string dataFolder_;
    QString name_;
    Location location_;
    // Set by the first open that worked: every later open is a reconnect,
    // which never creates or seeds a catalogue (it would start the message
    // numbers again while the real file is only away for a moment).
    bool connectedBefore_ = false;
    DateSerial lastUse_;     // the last statement run
    DateSerial lastCheck_;   // the last idle check or reopen
};

template <typename Work>
auto CatalogueConnection::guarded(const Call& call, Work&& work)
{
    using Value = std::invoke_result_t<Work&>;
    using Answer = std::conditional_t<std::is_void_v<Value>, bool, std::optional<Value>>;
    if (!begin(call))
        return Answer{};
    try {
        if constexpr (std::is_void_v<Value>) {
            work();
            return true;
        } else {
            return Answer(work());
        }
    } catch (const DatabaseFault& f) {
        ReportDatabaseError(call.failure, f);
        return Answer{};
    }
}

}  // namespace smtpin::db
