#pragma once

#include "Binder.h"

#include <QMainWindow>

namespace smtpin::core { class Client; }

namespace smtpin::gui {

// The TCP setup window: the Comms menus, the shell's output list, the
// banner, the processed-records labels, the Test frame and the setup lock.
class TcpSetupView : public QMainWindow {
public:
    explicit TcpSetupView(core::Client& client);

    QMenu* commsMenu() const { return comms_; }
    QMenu* settingsMenu() const { return settings_; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QWidget* generalPage();
    QWidget* lockPage();

    core::Client& client_;
    Binder bind_;
    QMenu* comms_ = nullptr;
    QMenu* settings_ = nullptr;
};

}  // namespace smtpin::gui
