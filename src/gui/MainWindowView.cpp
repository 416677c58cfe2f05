#include "MainWindowView.h"

#include "core/MainWindow.h"
#include "forms/FrmSMTP.h"
#include "testtraffic/TestTraffic.h"

#include <QCheckBox>
#include <QCloseEvent>
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

namespace smtpin::gui {

namespace {

QLabel* newLabel(QWidget* parent = nullptr)
{
    auto* l = new QLabel(parent);
    l->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return l;
}

QGroupBox* frame(const char* caption, QLayout* layout)
{
    auto* box = new QGroupBox(QString::fromLatin1(caption));
    box->setLayout(layout);
    return box;
}

}  // namespace

MainWindowView::MainWindowView(forms::FrmSMTP& form, core::MainWindow& window, testtraffic::TestTraffic& testTraffic)
    : form_(form), window_(window), testTraffic_(testTraffic)
{
    auto& f = form_;
    auto* central = new QWidget;
    auto* top = new QVBoxLayout(central);
    auto* banner = newLabel();
    banner->setAlignment(Qt::AlignCenter);
    bind_.label(f.lbMainFormBanner, banner);
    auto* bannerFrame = new QVBoxLayout;
    bannerFrame->addWidget(banner);
    top->addWidget(frame("", bannerFrame));
    top->addLayout(statusStrip());

    auto* status = new QGridLayout;
    const std::pair<const char*, Label*> rows[] = {{"Hub link", &f.lbTCPProgress}, {"Sockets", &f.lbSocsLoaded},
                                                   {"Last SMTP", &f.lbPETTicker},  {"Queue", &f.lbQueSize},
                                                   {"Message ids", &f.lbDefaultMessID}};
    int r = 0;
    for (const auto& [caption, control] : rows) {
        status->addWidget(new QLabel(QString::fromLatin1(caption)), r / 2, (r % 2) * 2);
        auto* value = newLabel();
        bind_.label(*control, value);
        status->addWidget(value, r / 2, (r % 2) * 2 + 1);
        ++r;
    }
    status->setColumnStretch(1, 1);
    status->setColumnStretch(3, 1);
    top->addLayout(status);

    auto* tabs = new QTabWidget;
    tabs->addTab(logsPage(), "Logs");
    tabs->addTab(settingsPage(), "Settings");
    tabs->addTab(testPage(), "Testing");
    bind_.tabs(f.SSTab1, tabs);
    top->addWidget(tabs, 1);
    setCentralWidget(central);

    auto* system = menuBar()->addMenu("System");
    bind_.action(f.mnuShowTCP, system->addAction(""), [this] { window_.mnuShowTCP_Click(); });
    bind_.action(f.mnuMinimise, system->addAction(""), [this] { window_.mnuMinimise_Click(); });
    bind_.action(f.mnuExit, system->addAction(""), [this] { window_.mnuExit_Click(); });
    bind_.window(f.window, this);
    resize(980, 680);
}

QHBoxLayout* MainWindowView::statusStrip()
{
    auto& f = form_;
    auto* strip = new QHBoxLayout;
    const std::pair<const char*, Label*> parts[] = {{"linkState", &f.lbLinkState}, {"pagesWaiting", &f.lbPagesWaiting},
                                                    {"lastSent", &f.lbLastSent}, {"lastDelete", &f.lbLastDelete},
                                                    {"errors", &f.lbErrors}};
    for (const auto& [name, control] : parts) {
        auto* value = newLabel();
        value->setObjectName(QString::fromLatin1(name));
        bind_.label(*control, value);
        strip->addWidget(value);
    }
    strip->addStretch(1);
    return strip;
}

QWidget* MainWindowView::logsPage()
{
    auto& f = form_;
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    auto* system = new QListWidget;
    auto* smtp = new QListWidget;
    for (auto* l : {system, smtp})
        l->setFont(QFont("Monospace", 9));
    // The list binding also shows the control's tooltip: the clicked line.
    bind_.list(f.lbxSystemLog, system, [this] { window_.lbxSystemLog_Click(); });
    bind_.list(f.lbxSMTPLOG, smtp, [this] { window_.lbxSMTPLOG_Click(); });
    layout->addWidget(new QLabel("Application log"));
    layout->addWidget(system, 1);
    layout->addWidget(new QLabel("SMTP log"));
    layout->addWidget(smtp, 1);
    return page;
}

QWidget* MainWindowView::settingsPage()
{
    auto& f = form_;
    auto* page = new QWidget;
    auto* layout = new QHBoxLayout(page);
    auto* listener = new QFormLayout;
    auto field = [this](QFormLayout* form, const char* caption, TextBox& box) {
        auto* edit = new QLineEdit;
        bind_.text(box, edit);
        form->addRow(QString::fromLatin1(caption), edit);
    };
    field(listener, "Server Address", f.txbServerAddress);
    field(listener, "Server Port", f.txbServerPort);
    field(listener, "Maximum SMTP Sockets", f.txbMaxSockets);

    auto* database = new QFormLayout;
    field(database, "Data Source", f.txbDataSource);
    field(database, "Intial Catalog", f.txbInitialCatalog);
    auto* refresh = new QPushButton("Refresh");
    QObject::connect(refresh, &QPushButton::clicked, this, [this] { window_.cmdRefreshDatasource_Click(); });
    database->addRow(refresh);

    auto* clientFrame = new QFormLayout;
    auto* errorLogging = new QCheckBox;
    bind_.check(f.cbxErrorLogging, errorLogging);
    clientFrame->addRow(errorLogging);
    auto* started = newLabel();
    bind_.label(f.lbClientStart, started);
    clientFrame->addRow("Client Started", started);
    auto* reset = newLabel();
    bind_.label(f.lbLastTimeResetDBH, reset);
    clientFrame->addRow("Last Reset", reset);
    field(clientFrame, "Outging Pkts", f.txbOutgoingPkts);
    field(clientFrame, "Database Hits", f.txbDatabaseHits);
    auto* resetButton = new QPushButton("Reset");
    QObject::connect(resetButton, &QPushButton::clicked, this, [this] { window_.cmdDatabaseRESET_Click(); });
    clientFrame->addRow(resetButton, new QPushButton("RESET"));

    auto* left = new QVBoxLayout;
    left->addWidget(frame("SMTP Listener", listener));
    left->addWidget(frame("SQL Database ", database));
    left->addStretch(1);
    layout->addLayout(left, 1);
    auto* right = new QVBoxLayout;
    right->addWidget(frame("Client", clientFrame));
    right->addStretch(1);
    layout->addLayout(right, 1);
    return page;
}

QWidget* MainWindowView::testPage()
{
    auto& f = form_;
    auto& t = testTraffic_;
    auto* page = new QWidget;
    auto* layout = new QGridLayout(page);

    auto* xml = new QFormLayout;
    auto* machine = new QLineEdit;
    bind_.text(f.txbMachineName, machine);
    xml->addRow("Machine Name", machine);
    auto* ack = new QLineEdit;
    bind_.text(f.txbAckSocket, ack);
    xml->addRow("ACK Socket (format  IP:Port)", ack);
    layout->addWidget(frame("Test XML Config", xml), 0, 0);

    auto* message = new QVBoxLayout;
    auto* text = new QLineEdit;
    bind_.text(f.txbMessage, text);
    message->addWidget(text);
    layout->addWidget(frame("Test Message", message), 0, 1);

    auto button = [this](Label& control, std::function<void()> clicked) {
        auto* b = new QPushButton;
        bind_.button(control, b, std::move(clicked));
        return b;
    };
    auto* manual = new QHBoxLayout;
    manual->addWidget(button(f.cmdPause, [&t] { t.cmdPause_Click(); }));
    manual->addWidget(button(f.cmdSynGroup, [&t] { t.cmdSynGroup_Click(); }));
    manual->addWidget(button(f.Command2, [&t] { t.Command2_Click(); }));
    layout->addWidget(frame("Manual Testing", manual), 1, 0, 1, 2);

    auto* group = new QFormLayout;
    for (int i = 0; i < 4; ++i) {
        auto* pager = new QLineEdit;
        bind_.text(f.txbPagerNo[static_cast<size_t>(i)], pager);
        group->addRow(QString("Device %1").arg(i + 1), pager);
    }
    auto* unique = new QCheckBox;
    bind_.check(f.chkUnique, unique);
    group->addRow(unique, button(f.cmdGroup, [&t] { t.cmdGroup_Click(); }));
    layout->addWidget(frame("Group Testing", group), 2, 0);

    auto* single = new QFormLayout;
    auto* pager = new QLineEdit;
    bind_.text(f.txbPagerNo[4], pager);
    single->addRow("Device", pager);
    auto* uniqueSingle = new QCheckBox;
    bind_.check(f.chkUniqueSingle, uniqueSingle);
    single->addRow(uniqueSingle, button(f.cmdSEND, [&t] { t.cmdSEND_Click(); }));
    layout->addWidget(frame("Single Message Test", single), 2, 1);
    layout->setRowStretch(3, 1);
    return page;
}

void MainWindowView::closeEvent(QCloseEvent* event)
{
    if (closing_) {
        event->accept();
        return;
    }
    // The staged close: the window goes when the client has finished.
    event->ignore();
    window_.RequestClose();
}

}  // namespace smtpin::gui
