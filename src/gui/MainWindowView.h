#pragma once

#include "Binder.h"

#include <QMainWindow>

class QHBoxLayout;

namespace smtpin {
namespace core { class MainWindow; }
namespace forms { struct FrmSMTP; }
namespace testtraffic { class TestTraffic; }
}  // namespace smtpin

namespace smtpin::gui {

// The main window: both logs, status, settings, catalogue, counters and
// the test controls. Closing it asks the client for its staged close.
class MainWindowView : public QMainWindow {
public:
    MainWindowView(forms::FrmSMTP& form, core::MainWindow& window, testtraffic::TestTraffic& testTraffic);
    // The client has finished: the window may really close now.
    void allowClose() { closing_ = true; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QHBoxLayout* statusStrip();
    QWidget* logsPage();
    QWidget* settingsPage();
    QWidget* testPage();

    forms::FrmSMTP& form_;
    core::MainWindow& window_;
    testtraffic::TestTraffic& testTraffic_;
    Binder bind_;
    bool closing_ = false;
};

}  // namespace smtpin::gui
