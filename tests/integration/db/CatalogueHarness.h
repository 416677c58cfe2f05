#pragma once

#include "db/CatalogueConnection.h"
#include "db/ClientConfig.h"
#include "db/ClientRegistration.h"
#include "db/DatabaseLog.h"
#include "forms/FrmSMTP.h"
#include "log/SystemLog.h"
#include "platform/Clock.h"
#include "platform/Dialogs.h"
#include "platform/SettingsStore.h"
#include "support/RecordingDialogs.h"
#include "support/TempDir.h"

#include <QSqlDatabase>
#include <QVariant>

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace smtpin::test {

enum class Backend { SQLite, Odbc };
std::string backendName(const ::testing::TestParamInfo<Backend>& info);
inline void PrintTo(Backend b, std::ostream* os) { *os << (b == Backend::SQLite ? "QSQLITE" : "QODBC"); }

// One client's database side, wired as the Client object wires it.
struct CatalogueClient {
    CatalogueClient(const Clock& clock, const SettingsStore& settings, const std::string& dataFolder);

    // Writes the queued application log entries; returns their texts.
    std::vector<std::string> drain();
    // Every entry text written so far.
    std::vector<std::string> written;

    forms::FrmSMTP form;
    SystemLog log;
    RecordingDialogs dialogs;
    db::CatalogueConnection db;
    db::ClientRegistration reg;
    db::ClientConfig config;
    db::DatabaseLog dbLog;
};

// A catalogue in a fresh folder, reached through the backend under test,
// and a plain side connection to the same file for looking and meddling.
class CatalogueTest : public ::testing::TestWithParam<Backend> {
protected:
    CatalogueTest();
    ~CatalogueTest() override;

    static constexpr const char* kCatalogue = "HXSMKII";

    // The settings file for the backend, with extra [Database] lines.
    void writeSettings(const std::string& extra = "", const std::string& dataSource = "");
    std::unique_ptr<CatalogueClient> client();
    // An opened client with the given identifier.
    std::unique_ptr<CatalogueClient> openClient(const std::string& clientId = "S01");

    std::string catalogueFile() const { return dir.file(std::string(kCatalogue) + ".sqlite"); }
    // Side connection: statements and single values.
    void exec(const std::string& sql);
    QVariant value(const std::string& sql);
    std::vector<std::vector<QVariant>> rows(const std::string& sql);
    void addClientRow(const std::string& device, const std::string& enable = "1", const std::string& state = "0");

    TempDir dir;
    ManualClock clock;
    SettingsStore settings{dir.file("smtpin.ini")};

private:
    QSqlDatabase side();
    QString sideName_;
};

// Counts the texts that contain part.
int countContaining(const std::vector<std::string>& texts, const std::string& part);
int countOccurrences(const std::string& text, const std::string& part);

}  // namespace smtpin::test
