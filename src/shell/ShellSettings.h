#pragma once

#include "platform/Controls.h"
#include "platform/DateSerial.h"

#include <QObject>
#include <QString>

#include <array>
#include <cstdint>
#include <string>
#include <utility>

namespace smtpin {
class Clock;
class SettingsStore;
namespace forms { struct FrmTCPHub; }
namespace db {
class ClientConfig;
class ClientRegistration;
}  // namespace db
}  // namespace smtpin

namespace smtpin::shell {

// The shell's settings and shared values: the per-client settings store
// (configuration table first, legacy registry key second), the user
// identifier the hub link logs in with, the title, the locale date order
// and the banner lines of the main and shell windows.
class ShellSettings final : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kVersion = "1.00.00 (08)";
    static constexpr const char* kShellName = "HXS SMTP Hub Shell";
    static constexpr const char* kApplication = "HXS";
    static constexpr const char* kSection = "TCPSetup";
    static constexpr int kBanners = 5;
    static constexpr double kBannerSeconds = 2.0;

    ShellSettings(const Clock& clock, db::ClientRegistration& registration, db::ClientConfig& config,
                  const SettingsStore& registry, forms::FrmTCPHub& form, Label& lbMainFormBanner);

    // The setup lock starts over with no password entry under way.
    void ResetPasswordState() { emit passwordStateWanted(0); }

    // The client identifier lives with the registration, which claims it.
    const std::string& ClientId() const;

    // The settings LoadTCPSettings reads and SaveTCPSettings writes.
    bool load() const { return Load; }
    void setLoad(bool on) { Load = on; }
    std::int16_t maxDisplayEntries() const { return DFMaxDisplayEntries; }
    void setMaxDisplayEntries(std::int16_t n) { DFMaxDisplayEntries = n; }
    const std::string& setupPassword() const { return SetupPassword; }
    void setSetupPassword(std::string code) { SetupPassword = std::move(code); }
    bool setupLocked() const { return SetupLocked; }
    void setSetupLocked(bool locked) { SetupLocked = locked; }

    // The values the shell's windows share.
    const std::string& userIdentifier() const { return UserIdentifier; }
    void setUserIdentifier(std::string identifier) { UserIdentifier = std::move(identifier); }
    const std::string& title() const { return Title; }
    void setTitle(std::string title) { Title = std::move(title); }
    bool shellLoaded() const { return ShellLoaded; }
    void setShellLoaded(bool loaded) { ShellLoaded = loaded; }
    // As LoadLocaleDateFormat found it; -1 before.
    std::int16_t localeDateOrder() const { return LocaleDateOrder; }
    const std::array<std::string, kBanners>& mainBanners() const { return MainBanners; }
    const std::array<std::string, kBanners>& shellBanners() const { return ShellBanners; }

    std::string ReadSetting(const std::string& application, const std::string& section, const std::string& name,
                            const std::string& defaultValue);
    // Into the configuration table only: the registry key is read once, as
    // the fallback for a setting the table does not have yet.
    bool SaveSetting(const std::string& name, const std::string& value);
    bool LoadTCPSettings();
    bool SaveTCPSettings();
    // "S01" -> "s01", "a1" -> "a01"; wildcards and non-numbers are refused
    // and leave the identifier as it was.
    static bool NormaliseClientId(std::string& identifier);
    void AddOutputLine(ListBox& list, const std::string& text);
    std::int16_t LoadLocaleDateFormat();
    // 0 month-day-year, 1 day-month-year, 2 year-month-day, -1 unknown.
    static std::int16_t DateOrderOf(const QString& shortDateFormat);
    void SetBanners();
    void SetShellBanners();
    void RotateBanner();
    // The next shell banner line into the window's Banner label.
    void RotateShellBanner();

    static std::string boolText(bool value) { return value ? "True" : "False"; }

signals:
    // The settings were read: the setup lock follows them.
    void setupLockRead(bool locked);
    void passwordStateWanted(int state);

private:
    std::string registryKey(const std::string& application, const std::string& section) const;

    bool Load = true;
    std::int16_t DFMaxDisplayEntries = 200;
    std::string SetupPassword = "quoltabe";
    bool SetupLocked = false;
    std::string UserIdentifier;
    std::string Title;
    bool ShellLoaded = false;
    std::int16_t LocaleDateOrder = -1;
    std::array<std::string, kBanners> MainBanners;
    std::array<std::string, kBanners> ShellBanners;
    int MainBannerIndex = 0;
    int ShellBannerIndex = 0;

    const Clock& clock_;
    db::ClientRegistration& registration_;
    db::ClientConfig& config_;
    const SettingsStore& registry_;
    forms::FrmTCPHub& form_;
    Label& lbMainFormBanner_;
    DateSerial lastBannerChange_;
};

}  // namespace smtpin::shell
