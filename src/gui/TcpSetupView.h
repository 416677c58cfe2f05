#pragma once

#include "Binder.h"

#include <QMainWindow>

namespace smtpin {
namespace forms { struct FrmTCPHub; }
namespace shell {
class FrmHubSetupWindow;
class FrmTCPHubWindow;
class SetupLock;
}  // namespace shell
}  // namespace smtpin

namespace smtpin::gui {

// The TCP setup window: the Comms menus, the shell's output list, the
// banner, the processed-records labels, the Test frame and the setup lock.
class TcpSetupView : public QMainWindow {
public:
    TcpSetupView(forms::FrmTCPHub& form, shell::FrmTCPHubWindow& window, shell::FrmHubSetupWindow& setupWindow,
                 shell::SetupLock& lock);

    QMenu* commsMenu() const { return comms_; }
    QMenu* settingsMenu() const { return settings_; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QWidget* generalPage();
    QWidget* lockPage();

    forms::FrmTCPHub& form_;
    shell::FrmTCPHubWindow& window_;
    shell::SetupLock& lock_;
    Binder bind_;
    QMenu* comms_ = nullptr;
    QMenu* settings_ = nullptr;
};

}  // namespace smtpin::gui
