#include "TcpSetupView.h"

#include "forms/FrmTCPHub.h"
#include "shell/FrmHubSetupWindow.h"
#include "shell/FrmTCPHubWindow.h"
#include "shell/SetupLock.h"

#include <QCloseEvent>
#include <QEvent>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include <utility>

namespace smtpin::gui {

TcpSetupView::TcpSetupView(forms::FrmTCPHub& form, shell::FrmTCPHubWindow& window,
                           shell::FrmHubSetupWindow& setupWindow, shell::SetupLock& lock)
    : form_(form), window_(window), lock_(lock)
{
    auto& f = form_;
    auto& w = window_;
    comms_ = menuBar()->addMenu(QString::fromLatin1(f.mnuComm.caption().c_str()));
    // The enabling table is evaluated each time a menu opens.
    QObject::connect(comms_, &QMenu::aboutToShow, this, [&w] { w.mnuComm_Click(); });
    for (int i = 0; i < 3; ++i)
        bind_.action(f.mnuComms[static_cast<size_t>(i)], comms_->addAction(""), [&w, i] { w.mnuComms_Click(i); });
    settings_ = menuBar()->addMenu(QString::fromLatin1(f.mnuCommGeneral.caption().c_str()));
    QObject::connect(settings_, &QMenu::aboutToShow, this, [&w] { w.mnuComm_Click(); });
    auto checkable = [this](MenuItem& item, std::function<void()> clicked) {
        QAction* a = settings_->addAction("");
        a->setCheckable(true);
        bind_.action(item, a, std::move(clicked));
    };
    checkable(f.mnuCommsAutoConnect, [&w] { w.mnuCommsAutoConnect_Click(); });
    checkable(f.mnuCommsShow, [&w] { w.mnuCommsShow_Click(); });
    bind_.action(f.mnuCommsShowCC, settings_->addAction(""), [&w] { w.mnuCommsShowCC_Click(); });
    checkable(f.mnuCommsLockSetup, [&w] { w.mnuCommsLockSetup_Click(); });
    settings_->addSeparator();
    QAction* hubSetup = settings_->addAction("Hub Setup...");
    hubSetup->setObjectName("hubSetup");
    // Reached like "Setup": only while that item may be used.
    bind_.watch(f.mnuComms[2], [hubSetup, &f] { hubSetup->setEnabled(f.mnuComms[2].enabled()); });
    QObject::connect(hubSetup, &QAction::triggered, this, [&setupWindow] { setupWindow.Show(); });

    auto* central = new QWidget;
    auto* top = new QVBoxLayout(central);
    auto* bannerBox = new QGroupBox;
    bind_.frame(f.frameBanner, bannerBox);
    auto* bannerLayout = new QHBoxLayout(bannerBox);
    auto* banner = new QLabel;
    bind_.label(f.Banner, banner);
    bannerLayout->addWidget(banner, 1);
    auto* hide = new QPushButton;
    bind_.button(f.cmdHideTCP, hide, [&w] { w.cmdHideTCP_Click(); });
    bannerLayout->addWidget(hide);
    top->addWidget(bannerBox);

    auto* tabs = new QTabWidget;
    tabs->addTab(generalPage(), "General Setup");
    tabs->addTab(lockPage(), "Setup Password Control");
    top->addWidget(tabs, 1);
    setCentralWidget(central);
    bind_.window(f.window, this, "TCP Setup");
    resize(760, 520);
}

QWidget* TcpSetupView::generalPage()
{
    auto& f = form_;
    auto& w = window_;
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    auto* form = new QFormLayout;
    auto* maxList = new QLineEdit;
    bind_.text(f.txtMaxOutputList, maxList);
    // Typing here changes nothing: the box shows the setting when it gets the focus.
    EventHook::install(maxList, QEvent::FocusIn, [&w] { w.txtMaxOutputList_GotFocus(); });
    form->addRow("Maximum List Size in Output Window", maxList);
    for (const auto& [caption, control] : {std::pair<const char*, Label*>{"Version", &f.lblVersion},
                                           {"Last Processed", &f.labRecordsProcessed[1]},
                                           {"Processed", &f.labRecordsProcessed[0]}}) {
        auto* value = new QLabel;
        bind_.label(*control, value);
        form->addRow(caption, value);
    }
    layout->addLayout(form);
    auto* output = new QListWidget;
    output->setFont(QFont("Monospace", 9));
    bind_.list(f.lstOutput, output);
    layout->addWidget(output, 1);

    auto* test = new QGroupBox;
    bind_.frame(f.frmSetupTEST, test);
    auto* testLayout = new QHBoxLayout(test);
    auto* testButton = new QPushButton;
    bind_.button(f.cmdMonitorTest, testButton, [&w] { w.cmdMonitorTest_Click(); });
    testLayout->addWidget(testButton);
    testLayout->addWidget(new QLabel("Send Test Flag to Monitor"), 1);
    layout->addWidget(test);
    bind_.watch(f.frmSetup[1], [page, &f] { page->setEnabled(f.frmSetup[1].enabled()); });
    return page;
}

QWidget* TcpSetupView::lockPage()
{
    auto& f = form_;
    auto& lock = lock_;
    auto* page = new QWidget;
    auto* outer = new QVBoxLayout(page);
    auto* box = new QGroupBox;
    bind_.frame(f.frmSetupPassword, box);
    outer->addWidget(box);
    auto* layout = new QVBoxLayout(box);
    auto* state = new QLabel;
    bind_.label(f.lblSetupPasswordD, state);
    layout->addWidget(state);
    auto* form = new QFormLayout;
    std::array<QLineEdit*, 3> boxes{};
    for (int i = 0; i < 3; ++i) {
        auto* caption = new QLabel;
        bind_.label(f.lblSetupPassword[static_cast<size_t>(i)], caption);
        auto* box = new QLineEdit;
        box->setObjectName(QString("txtSetupPassword%1").arg(i));
        box->setEchoMode(QLineEdit::Password);
        // Typed characters show as the form's password character, not the style's dot.
        box->setStyleSheet(QString("lineedit-password-character: %1").arg(int(forms::FrmTCPHub::PasswordChar)));
        bind_.text(f.txtSetupPassword[static_cast<size_t>(i)], box);
        // Enter acts as leaving the box.
        QObject::connect(box, &QLineEdit::returnPressed, this, [&lock, i] { lock.txtSetupPassword_KeyPress(i, 13); });
        EventHook::install(box, QEvent::FocusOut, [&lock, i] { lock.txtSetupPassword_LostFocus(i); });
        form->addRow(caption, box);
        boxes[static_cast<size_t>(i)] = box;
    }
    layout->addLayout(form);
    bind_.watch(f.txtSetupPasswordFocus, [boxes, &f] {
        const int i = f.txtSetupPasswordFocus.index();
        if (i >= 0 && i < 3)
            boxes[static_cast<size_t>(i)]->setFocus();
    });
    auto* buttons = new QHBoxLayout;
    for (int i = 0; i < 3; ++i) {
        auto* b = new QPushButton;
        bind_.button(f.cmdSetupPassword[static_cast<size_t>(i)], b, [&lock, i] { lock.cmdSetupPassword_Click(i); });
        buttons->addWidget(b);
    }
    layout->addLayout(buttons);
    layout->addStretch(1);
    return page;
}

void TcpSetupView::closeEvent(QCloseEvent* event)
{
    // Closing unloads the shell (asked first while connected), and the
    // driver logs off first and then closes it; the widget follows the
    // form's visibility.
    event->ignore();
    window_.OperatorClose();
}

}  // namespace smtpin::gui
