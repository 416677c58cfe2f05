#include "SettingsFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace smtpin::core {

namespace {

constexpr const char* kDefaults = R"(; smtpin settings. Values left commented out take the default shown.
; A value holding ; , or \ must be in double quotes, with each \ doubled.

[Database]
; QSQLITE: one SQLite file in the data folder (created and seeded on first start).
; QODBC: any ODBC source, SQL Server in production.
;Driver=QSQLITE
; SQLite: the folder of the file. ODBC: the server, put in as %DataSource%.
;DataSource=
; SQLite: the file is <InitialCatalog>.sqlite. ODBC: put in as %InitialCatalog%.
;InitialCatalog=HXSMKII
; ODBC only: the whole connection string.
;ConnectionString="Driver=FreeTDS;Server=%DataSource%;Port=1433;Database=%InitialCatalog%;APP=HXS-SMTP;Trusted_Connection=Yes"
; The SQL for the server's local time: SQLite datetime('now','localtime'), SQL Server GETDATE().
;ServerNow=
; yes: create and seed the catalogue when it has no client table (SQLite default yes, ODBC no).
;CreateCatalogue=

[Logs]
; Folder of the application and SMTP log files (default: <data folder>/logs).
;Folder=

[Spool]
; Folder of spool.sqlite, where every accepted page waits for the switch's
; DELETE (default: the data folder). Keep it on a local disk.
;Folder=

[Status]
; Address and port of the HTTP status endpoint: /healthz and /metrics
; (default 127.0.0.1:9125; empty: no endpoint).
;Listen=127.0.0.1:9125

; Legacy shell settings of a client may stand in a group [SMTP_<client id>/TCPSetup];
; the catalogue's client configuration rows take precedence.
)";

}  // namespace

bool WriteDefaultSettingsFile(const std::string& fileName, std::string* error)
{
    const QString name = QString::fromStdString(fileName);
    if (QFileInfo::exists(name))
        return true;
    QDir().mkpath(QFileInfo(name).absolutePath());
    QFile file(name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text) || file.write(kDefaults) < 0) {
        if (error)
            *error = file.errorString().toStdString();
        return false;
    }
    return true;
}

}  // namespace smtpin::core
