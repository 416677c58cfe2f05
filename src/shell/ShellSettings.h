#pragma once

#include "platform/Controls.h"
#include "platform/DateSerial.h"

#include <QObject>
#include <QString>

#include <array>
#include <cstdint>
#include <string>

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

    // Settings.
    bool Load = true;
    std::int16_t DFMaxDisplayEntries = 200;
    std::string SetupPassword = "quoltabe";
    bool SetupLocked = false;

    // Shared values.
    std::string UserIdentifier;
    std::string Title;
    bool ShellLoaded = false;
    std::int16_t LocaleDateOrder = -1;
    std::array<std::string, kBanners> MainBanners;
    std::array<std::string, kBanners> ShellBanners;
    int MainBannerIndex = 0;
    int ShellBannerIndex = 0;

    std::string ReadSetting(const std::string& application, const std::string& section, const std::string& name,
                            const std::string& defaultValue);
    bool SaveSetting(const std::string& application, const std::string& section, const std::string& name,
                     const std::string& value);
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

    const Clock& clock_;
    db::ClientRegistration& registration_;
    db::ClientConfig& config_;
    const SettingsStore& registry_;
    forms::FrmTCPHub& form_;
    Label& lbMainFormBanner_;
    DateSerial lastBannerChange_;
};

}  // namespace smtpin::shell
