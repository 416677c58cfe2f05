#pragma once

#include "Binder.h"

#include <QDialog>

namespace smtpin {
namespace forms { struct FrmHubSetup; }
namespace shell { class FrmHubSetupWindow; }
}  // namespace smtpin

namespace smtpin::gui {

// The hub setup dialog: user identifier, hub address and port.
class HubSetupDialog : public QDialog {
public:
    HubSetupDialog(forms::FrmHubSetup& form, shell::FrmHubSetupWindow& window);
    QPushButton* okButton() const { return ok_; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    shell::FrmHubSetupWindow& window_;
    Binder bind_;
    QPushButton* ok_ = nullptr;
};

}  // namespace smtpin::gui
