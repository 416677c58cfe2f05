#include "ShellRig.h"

#include <QLocale>

#include <algorithm>

using namespace smtpin;
using namespace smtpin::test;
using shell::ShellSettings;

namespace {

using ShellSettingsTest = ShellTest;

constexpr const char* kApp = "HXS";
constexpr const char* kSec = "TCPSetup";

TEST_P(ShellSettingsTest, ReadSettingAsksTheTableThenTheRegistryThenTakesTheDefault)
{
    setConfig("DFMaxDisplayEntries", "50");
    registry("DFMaxDisplayEntries=70\nSetupPassword=fromini");
    build();

    EXPECT_EQ(shell->ReadSetting(kApp, kSec, "DFMaxDisplayEntries", "200"), "50");
    EXPECT_EQ(configValue("DFMaxDisplayEntries"), "50");

    // Only in the registry: copied into the table, which answers from then on.
    EXPECT_EQ(shell->ReadSetting(kApp, kSec, "SetupPassword", "quoltabe"), "fromini");
    EXPECT_EQ(configValue("SetupPassword"), "fromini");
    writeSettings();
    registry("SetupPassword=changed");
    EXPECT_EQ(shell->ReadSetting(kApp, kSec, "SetupPassword", "quoltabe"), "fromini");

    // Nowhere: the default, written to the table.
    EXPECT_EQ(shell->ReadSetting(kApp, kSec, "Auto Connect", "True"), "True");
    EXPECT_EQ(configValue("Auto Connect"), "True");
    EXPECT_EQ(c->config.TakeConfigWarning(), "");
}

TEST_P(ShellSettingsTest, WithoutAnIdentityEveryReadIsTheDefaultAndNothingIsWritten)
{
    c->reg.setClientId("");
    build();
    EXPECT_EQ(shell->ReadSetting(kApp, kSec, "SetupPassword", "quoltabe"), "quoltabe");
    c->reg.setClientId("xxx");
    EXPECT_EQ(shell->ReadSetting(kApp, kSec, "SetupPassword", "quoltabe"), "quoltabe");
    EXPECT_FALSE(shell->LoadTCPSettings());
    EXPECT_EQ(value("SELECT COUNT(*) FROM HXSClientConfig WHERE Parameter = 'SetupPassword'").toInt(), 0);
}

TEST_P(ShellSettingsTest, AFreshInstallationTakesEveryDefaultAndStoresIt)
{
    build();
    bool lockApplied = true;
    QObject::connect(shell.get(), &shell::ShellSettings::setupLockRead, [&](bool locked) { lockApplied = locked; });
    ASSERT_TRUE(shell->LoadTCPSettings());

    EXPECT_TRUE(shell->load());
    EXPECT_EQ(shell->maxDisplayEntries(), 200);
    EXPECT_EQ(shell->setupPassword(), "quoltabe");
    EXPECT_FALSE(shell->setupLocked());
    EXPECT_FALSE(lockApplied);
    EXPECT_TRUE(form.mnuCommsAutoConnect.checked());
    EXPECT_FALSE(form.mnuCommsShow.checked());
    EXPECT_TRUE(form.mnuCommsLockSetup.checked());
    EXPECT_EQ(form.lblVersion.caption(), "1.00.00 (08)");
    EXPECT_EQ(c->reg.remoteAddress(), "127.0.0.1");
    EXPECT_EQ(c->reg.remotePort(), 6000);

    EXPECT_EQ(configValue("Load"), "True");
    EXPECT_EQ(configValue("DFMaxDisplayEntries"), "200");
    EXPECT_EQ(configValue("SetupPassword"), "quoltabe");
    EXPECT_EQ(configValue("SetupLocked"), "False");
    EXPECT_EQ(configValue("Auto Connect"), "True");
    EXPECT_EQ(configValue("Auto Show CommClass"), "False");
    EXPECT_EQ(configValue("DisableCommSetup"), "True");
}

TEST_P(ShellSettingsTest, StoredValuesInAnyTextFormAreApplied)
{
    setConfig("SetupLocked", "true");
    setConfig("Auto Connect", "0");
    setConfig("Auto Show CommClass", "-1");
    setConfig("DisableCommSetup", "FALSE");
    setConfig("DFMaxDisplayEntries", " 75 ");
    build();
    bool lockApplied = false;
    QObject::connect(shell.get(), &shell::ShellSettings::setupLockRead, [&](bool locked) { lockApplied = locked; });
    ASSERT_TRUE(shell->LoadTCPSettings());
    EXPECT_TRUE(shell->setupLocked());
    EXPECT_TRUE(lockApplied);
    EXPECT_FALSE(form.mnuCommsAutoConnect.checked());
    EXPECT_TRUE(form.mnuCommsShow.checked());
    EXPECT_FALSE(form.mnuCommsLockSetup.checked());
    EXPECT_EQ(shell->maxDisplayEntries(), 75);
}

TEST_P(ShellSettingsTest, AValueThatDoesNotConvertFailsTheLoadButTheOthersAreRead)
{
    for (const char* bad : {"lots", "70000"}) {
        exec("DELETE FROM HXSClientConfig WHERE Parameter = 'DFMaxDisplayEntries'");
        setConfig("DFMaxDisplayEntries", bad);
        setConfig("SetupPassword", "abc");
        build();
        EXPECT_FALSE(shell->LoadTCPSettings()) << bad;
        EXPECT_EQ(shell->maxDisplayEntries(), 200) << bad;
        EXPECT_EQ(shell->setupPassword(), "abc") << bad;
        EXPECT_TRUE(form.mnuCommsLockSetup.checked()) << bad;
        exec("DELETE FROM HXSClientConfig WHERE Parameter = 'SetupPassword'");
    }
    exec("DELETE FROM HXSClientConfig WHERE Parameter = 'DFMaxDisplayEntries'");
    exec("DELETE FROM HXSClientConfig WHERE Parameter = 'Auto Connect'");
    setConfig("Auto Connect", "maybe");
    build();
    EXPECT_FALSE(shell->LoadTCPSettings());
    EXPECT_TRUE(form.mnuCommsAutoConnect.checked());
}

TEST_P(ShellSettingsTest, SettingsChangedInTheWindowSurviveARestart)
{
    start();
    window->mnuCommsAutoConnect_Click();
    window->mnuCommsShow_Click();
    window->mnuCommsLockSetup_Click();
    shell->setSetupPassword("newcode");
    ASSERT_TRUE(window->Unload());
    EXPECT_EQ(configValue("Load"), "False");
    EXPECT_EQ(configValue("Auto Connect"), "False");

    restart();
    EXPECT_FALSE(shell->load());
    EXPECT_FALSE(form.mnuCommsAutoConnect.checked());
    EXPECT_TRUE(form.mnuCommsShow.checked());
    EXPECT_FALSE(form.mnuCommsLockSetup.checked());
    EXPECT_EQ(shell->setupPassword(), "newcode");
    EXPECT_FALSE(driver().connectWanted());
    EXPECT_EQ(value("SELECT COUNT(*) FROM HXSClientConfig WHERE Parameter = 'Load'").toInt(), 1);
}

TEST(NormaliseClientId, LowersTheClassAndPadsTheNumber)
{
    struct Case {
        std::string in;
        bool ok;
        std::string out;
    };
    const Case cases[] = {
        {"S01", true, "s01"}, {"a1", true, "a01"},   {"s7 ", true, "s07"},  {"Q123", true, "q12"},
        {"?05", true, "?05"}, {"105", true, " 05"},  {"S**", false, "S**"}, {"S??", false, "S??"},
        {"S", false, "S"},    {"", false, ""},       {"Sab", false, "Sab"}, {"S-1", false, "S-1"},
        {"S1x", false, "S1x"},
    };
    for (const Case& k : cases) {
        std::string id = k.in;
        EXPECT_EQ(ShellSettings::NormaliseClientId(id), k.ok) << k.in;
        EXPECT_EQ(id, k.out) << k.in;
    }
}

TEST_P(ShellSettingsTest, TheOutputListKeepsTheNewestLinesUpToTheSetting)
{
    setConfig("DFMaxDisplayEntries", "50");
    build();
    ASSERT_TRUE(shell->LoadTCPSettings());
    ListBox& list = form.lstOutput;
    for (int i = 1; i <= 50; ++i)
        shell->AddOutputLine(list, "line " + std::to_string(i));
    EXPECT_EQ(list.listCount(), 50);
    EXPECT_EQ(list.item(49), "10:00:00 15/01/2026 : line 1");

    clock.advanceSeconds(61);
    shell->AddOutputLine(list, "line 51");
    EXPECT_EQ(list.listCount(), 50);
    EXPECT_EQ(list.item(0), "10:01:01 15/01/2026 : line 51");
    EXPECT_EQ(list.item(49), "10:00:00 15/01/2026 : line 2");
    EXPECT_EQ(list.listIndex(), 0);

    // A lowered limit trims an already longer list.
    shell->setMaxDisplayEntries(10);
    shell->AddOutputLine(list, "line 52");
    EXPECT_EQ(list.listCount(), 10);
    shell->setMaxDisplayEntries(0);
    shell->AddOutputLine(list, "line 53");
    EXPECT_EQ(list.listCount(), 1);
}

TEST(LocaleDateOrder, FollowsTheShortDateFormat)
{
    EXPECT_EQ(ShellSettings::DateOrderOf("M/d/yy"), 0);
    EXPECT_EQ(ShellSettings::DateOrderOf("dd.MM.yyyy"), 1);
    EXPECT_EQ(ShellSettings::DateOrderOf("yyyy-MM-dd"), 2);
    EXPECT_EQ(ShellSettings::DateOrderOf("d MMM"), -1);
    EXPECT_EQ(ShellSettings::DateOrderOf("yy/dd/MM"), -1);

}

TEST_P(ShellSettingsTest, LocaleDateOrderComesFromTheLocale)
{
    build();
    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const std::int16_t german = shell->LoadLocaleDateFormat();
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    shell->LoadLocaleDateFormat();
    QLocale::setDefault(before);
    EXPECT_EQ(german, 1);
    EXPECT_EQ(shell->localeDateOrder(), 0);
}

TEST_P(ShellSettingsTest, BannersRotateThroughFiveLines)
{
    build();
    shell->SetBanners();
    shell->RotateBanner();
    EXPECT_EQ(mainBanner.caption(), shell->mainBanners()[1]);
    clock.advanceSeconds(1.5);
    shell->RotateBanner();
    EXPECT_EQ(mainBanner.caption(), shell->mainBanners()[1]);
    for (int i = 2; i <= 5; ++i) {
        clock.advanceSeconds(2.5);
        shell->RotateBanner();
        EXPECT_EQ(mainBanner.caption(), shell->mainBanners()[static_cast<size_t>(i % 5)]);
    }

    // The shell window's own lines move on every window tick.
    start();
    EXPECT_EQ(form.Banner.caption(), "Starting");
    std::vector<std::string> seen;
    for (int i = 0; i < 5; ++i) {
        window->tmrTCP_Timer();
        seen.push_back(form.Banner.caption());
    }
    EXPECT_EQ(seen.back(), "HXS SMTP Hub Shell");
    EXPECT_EQ(seen.front(), "Version 1.00.00 (08)");
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(std::unique(seen.begin(), seen.end()), seen.end());
}

INSTANTIATE_TEST_SUITE_P(Embedded, ShellSettingsTest, ::testing::Values(Backend::SQLite), backendName);

}  // namespace
