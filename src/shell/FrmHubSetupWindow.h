#pragma once

#include <optional>
#include <string>

namespace smtpin {
class Dialogs;
namespace forms { struct FrmHubSetup; }
namespace db { class ClientRegistration; }
}  // namespace smtpin

namespace smtpin::shell {

class ShellSettings;

// The hub setup dialog: the user identifier, the hub address and port.
class FrmHubSetupWindow {
public:
    static constexpr const char* kBadPort = "Remote port must be a whole number from 1 to 65535";

    FrmHubSetupWindow(forms::FrmHubSetup& form, ShellSettings& shell, db::ClientRegistration& registration,
                      Dialogs& dialogs);

    // Loads the boxes and shows the dialog.
    void Show();
    void Form_Load();
    // 0 "&Ok" stores and closes; 1 "&Cancel" closes.
    void cmdControl_Click(int index);

    // A TCP port number typed by the operator, or nothing.
    static std::optional<int> portOf(const std::string& text);

private:
    forms::FrmHubSetup& form_;
    ShellSettings& shell_;
    db::ClientRegistration& registration_;
    Dialogs& dialogs_;
};

}  // namespace smtpin::shell
