#pragma once

#include "Binder.h"

#include <QDialog>

namespace smtpin::core { class Client; }

namespace smtpin::gui {

// The hub setup dialog: user identifier, hub address and port.
class HubSetupDialog : public QDialog {
public:
    explicit HubSetupDialog(core::Client& client);
    QPushButton* okButton() const { return ok_; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    core::Client& client_;
    Binder bind_;
    QPushButton* ok_ = nullptr;
};

}  // namespace smtpin::gui
