#include "LinkView.h"

#include "forms/CommDisplayForm.h"
#include "hub/CommDisplay.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace smtpin::gui {

LinkView::LinkView(forms::CommDisplayForm& f, hub::CommDisplay& link) : link_(link)
{
    auto* layout = new QVBoxLayout(this);
    auto* status = new QLabel;
    status->setObjectName("lblError");
    status->setTextInteractionFlags(Qt::TextSelectableByMouse);
    bind_.label(f.lblError, status);
    layout->addWidget(status);

    grid_ = new QTableWidget;
    grid_->horizontalHeader()->hide();
    grid_->verticalHeader()->hide();
    grid_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grid_->setFont(QFont("Monospace", 9));
    grid_->verticalHeader()->setDefaultSectionSize(kRowHeight);
    grid_->horizontalHeader()->setStretchLastSection(true);
    bind_.grid(f.grdMember, grid_);
    // Twips to pixels at the usual 15 twips a pixel; the value column
    // stretches, the name column keeps its width with room for the text.
    bind_.watch(f.grdMember, [this, &f] {
        if (f.grdMember.cols() > 0)
            if (const int w = f.grdMember.colWidth(0) / 15 + 40; grid_->columnWidth(0) != w)
                grid_->setColumnWidth(0, w);
    });
    // The grid and the log share the height and scroll inside the window,
    // so it fits a 768-pixel screen with the Hide button in reach.
    grid_->setMinimumHeight(kVisibleRows * kRowHeight + 2 * grid_->frameWidth());
    layout->addWidget(grid_, 2);

    auto* log = new QListWidget;
    log->setFont(QFont("Monospace", 9));
    log->setMinimumHeight(120);
    bind_.list(f.lstClientLog, log);
    layout->addWidget(log, 1);
    auto* hide = new QPushButton("Hide");
    QObject::connect(hide, &QPushButton::clicked, this, [this] { link_.cmdHide_Click(); });
    layout->addWidget(hide, 0, Qt::AlignRight);
    bind_.window(f.window, this, "Hub Link");
    // Every row in sight where the screen has room for them.
    const QScreen* screen = QGuiApplication::primaryScreen();
    const int room = screen ? screen->availableGeometry().height() - 60 : 700;
    resize(640, std::min(31 * kRowHeight + 260, std::max(room, 400)));
}

void LinkView::closeEvent(QCloseEvent* event)
{
    // The link keeps running; closing the window only hides it.
    event->ignore();
    link_.cmdHide_Click();
}

}  // namespace smtpin::gui
