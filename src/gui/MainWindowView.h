#pragma once

#include "Binder.h"

#include <QMainWindow>

class QHBoxLayout;

namespace smtpin::core { class Client; }

namespace smtpin::gui {

// The main window: both logs, status, settings, catalogue, counters and
// the test controls. Closing it asks the client for its staged close.
class MainWindowView : public QMainWindow {
public:
    explicit MainWindowView(core::Client& client);
    // The client has finished: the window may really close now.
    void allowClose() { closing_ = true; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QHBoxLayout* statusStrip();
    QWidget* logsPage();
    QWidget* settingsPage();
    QWidget* testPage();

    core::Client& client_;
    Binder bind_;
    bool closing_ = false;
};

}  // namespace smtpin::gui
