#include "FrmHubSetupWindow.h"

#include "ShellSettings.h"
#include "db/ClientRegistration.h"
#include "forms/FrmTCPHub.h"
#include "platform/Dialogs.h"

#include <algorithm>
#include <cctype>

namespace smtpin::shell {

FrmHubSetupWindow::FrmHubSetupWindow(forms::FrmHubSetup& form, ShellSettings& shell,
                                     db::ClientRegistration& registration, Dialogs& dialogs)
    : form_(form), shell_(shell), registration_(registration), dialogs_(dialogs)
{
}

void FrmHubSetupWindow::Show()
{
    Form_Load();
    form_.window.setVisible(true);
}

void FrmHubSetupWindow::Form_Load()
{
    form_.txtHubSetup[0].setText(shell_.userIdentifier());
    form_.txtHubSetup[1].setText(registration_.remoteAddress());
    form_.txtHubSetup[2].setText(std::to_string(registration_.remotePort()));
}

std::optional<int> FrmHubSetupWindow::portOf(const std::string& text)
{
    const auto b = text.find_first_not_of(' ');
    if (b == std::string::npos)
        return std::nullopt;
    const std::string t = text.substr(b, text.find_last_not_of(' ') - b + 1);
    if (t.size() > 5 || !std::all_of(t.begin(), t.end(), [](unsigned char c) { return std::isdigit(c); }))
        return std::nullopt;
    const int port = std::stoi(t);
    if (port < 1 || port > 65535)
        return std::nullopt;
    return port;
}

void FrmHubSetupWindow::cmdControl_Click(int index)
{
    if (index == 0) {
        const auto port = portOf(form_.txtHubSetup[2].text());
        if (!port) {
            // Nothing is stored, so the operator can correct the box.
            dialogs_.MsgBox(kBadPort, db::ClientRegistration::kDialogTitle);
            return;
        }
        registration_.SetRemoteHub(form_.txtHubSetup[1].text(), *port);
        shell_.setUserIdentifier(form_.txtHubSetup[0].text());
    } else if (index != 1) {
        return;
    }
    form_.window.setVisible(false);
}

}  // namespace smtpin::shell
