#include "ShellSettings.h"
#include "platform/Text.h"

#include "db/ClientConfig.h"
#include "db/ClientRegistration.h"
#include "forms/FrmTCPHub.h"
#include "platform/Clock.h"
#include "platform/SettingsStore.h"
#include "platform/TextNumbers.h"

#include <QLocale>

#include <algorithm>
#include <cctype>
#include <optional>

namespace smtpin::shell {

ShellSettings::ShellSettings(const Clock& clock, db::ClientRegistration& registration, db::ClientConfig& config,
                             const SettingsStore& registry, forms::FrmTCPHub& form, Label& lbMainFormBanner)
    : clock_(clock), registration_(registration), config_(config), registry_(registry), form_(form),
      lbMainFormBanner_(lbMainFormBanner)
{
}

const std::string& ShellSettings::ClientId() const { return registration_.clientId(); }

std::string ShellSettings::registryKey(const std::string& application, const std::string& section) const
{
    return "Software\\VORN\\" + application + "\\SMTP_" + ClientId() + "\\" + section;
}

std::string ShellSettings::ReadSetting(const std::string& application, const std::string& section,
                                       const std::string& name, const std::string& defaultValue)
{
    if (ClientId().empty() || ClientId() == db::ClientRegistration::kNoClient)
        return defaultValue;
    std::string value = config_.ReadClientConfig(name);
    if (!value.empty())
        return value;
    value = registry_.ReadRegistryValue(registryKey(application, section), name);
    if (value.empty())
        value = defaultValue;
    // From now on the table answers.
    config_.SaveClientConfig(name, value);
    return value;
}

bool ShellSettings::SaveSetting(const std::string& name, const std::string& value)
{
    return config_.SaveClientConfig(name, value);
}

bool ShellSettings::LoadTCPSettings()
{
    if (ClientId() == db::ClientRegistration::kNoClient)
        return false;
    form_.lblVersion.setCaption(kVersion);

    // A value that does not convert keeps what was there and fails the load,
    // but every other setting is still read.
    bool failed = false;
    auto readBool = [&](const char* name, bool current) {
        const auto v = text::ToBool(ReadSetting(kApplication, kSection, name, boolText(current)));
        failed = failed || !v;
        return v.value_or(current);
    };

    Load = readBool("Load", true);
    if (const auto n = toInt16(ReadSetting(kApplication, kSection, "DFMaxDisplayEntries",
                                           std::to_string(DFMaxDisplayEntries))))
        DFMaxDisplayEntries = *n;
    else
        failed = true;
    SetupPassword = ReadSetting(kApplication, kSection, "SetupPassword", SetupPassword);
    SetupLocked = readBool("SetupLocked", SetupLocked);
    emit setupLockRead(SetupLocked);
    form_.mnuCommsAutoConnect.setChecked(readBool("Auto Connect", true));
    form_.mnuCommsShow.setChecked(readBool("Auto Show CommClass", false));
    form_.mnuCommsLockSetup.setChecked(readBool("DisableCommSetup", true));

    registration_.GetSystemSettings();
    return !failed;
}

bool ShellSettings::SaveTCPSettings()
{
    SaveSetting("Load", boolText(false));
    SaveSetting("DFMaxDisplayEntries", std::to_string(DFMaxDisplayEntries));
    SaveSetting("SetupPassword", SetupPassword);
    SaveSetting("SetupLocked", boolText(SetupLocked));
    SaveSetting("Auto Connect", boolText(form_.mnuCommsAutoConnect.checked()));
    SaveSetting("Auto Show CommClass", boolText(form_.mnuCommsShow.checked()));
    SaveSetting("DisableCommSetup", boolText(form_.mnuCommsLockSetup.checked()));
    return true;
}

bool ShellSettings::NormaliseClientId(std::string& identifier)
{
    // The class character is a one-character field: nothing usable is a space.
    const char found = identifier.empty() ? '\0' : text::MemberClass(identifier[0]);
    const char cls = found ? found : ' ';
    const std::string digits = identifier.size() > 1 ? identifier.substr(1, 2) : std::string();
    int number = -1;
    if (digits == "??")
        number = -3;
    else if (digits == "**")
        number = -2;
    else if (!digits.empty() &&
             std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c) || c == ' '; }))
        number = toInt16(digits).value_or(-1);
    if (number < 0)
        return false;
    identifier = std::string(1, cls) + zeroPadded(number, 2);
    return true;
}

void ShellSettings::AddOutputLine(ListBox& list, const std::string& text)
{
    while (list.listCount() > 0 && list.listCount() >= DFMaxDisplayEntries)
        list.removeItem(list.listCount() - 1);
    list.addItem(clock_.now().format(DateSerial::kTimeDate) + " : " + text, 0);
    list.setListIndex(0);
}

std::int16_t ShellSettings::DateOrderOf(const QString& shortDateFormat)
{
    const auto d = shortDateFormat.indexOf('d');
    const auto m = shortDateFormat.indexOf('M');
    const auto y = shortDateFormat.indexOf('y');
    if (d < 0 || m < 0 || y < 0)
        return -1;
    if (m < d && d < y)
        return 0;
    if (d < m && m < y)
        return 1;
    if (y < m && m < d)
        return 2;
    return -1;
}

std::int16_t ShellSettings::LoadLocaleDateFormat()
{
    LocaleDateOrder = DateOrderOf(QLocale().dateFormat(QLocale::ShortFormat));
    return LocaleDateOrder;
}

void ShellSettings::SetBanners()
{
    MainBanners = {"HXS SMTP Input Client", "Pager messages by e-mail to the hub",
                   "Mail with a PagerMessage element is queued for the hub",
                   "The TCP setup window shows the hub connection", "Closing waits for the hub link to disconnect"};
}

void ShellSettings::SetShellBanners()
{
    ShellBanners = {kShellName, std::string("Version ") + kVersion, "Comms menu: connect to the hub or stop",
                    "Auto Show: the link window is shown while connecting",
                    "Comms Locked: the connection settings cannot be changed"};
}

void ShellSettings::RotateBanner()
{
    const DateSerial now = clock_.now();
    if (now <= lastBannerChange_.addSeconds(kBannerSeconds))
        return;
    MainBannerIndex = (MainBannerIndex + 1) % kBanners;
    lbMainFormBanner_.setCaption(MainBanners[static_cast<size_t>(MainBannerIndex)]);
    lastBannerChange_ = now;
}

void ShellSettings::RotateShellBanner()
{
    ShellBannerIndex = (ShellBannerIndex + 1) % kBanners;
    form_.Banner.setCaption(ShellBanners[static_cast<size_t>(ShellBannerIndex)]);
}

}  // namespace smtpin::shell
