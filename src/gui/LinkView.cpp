#include "LinkView.h"

#include "core/Client.h"

#include <QCloseEvent>
#include <QHeaderView>
#include <QListWidget>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace smtpin::gui {

LinkView::LinkView(core::Client& client) : client_(client)
{
    auto& f = client.linkForm;
    auto* layout = new QVBoxLayout(this);
    grid_ = new QTableWidget;
    grid_->horizontalHeader()->hide();
    grid_->verticalHeader()->hide();
    grid_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grid_->setFont(QFont("Monospace", 9));
    grid_->verticalHeader()->setDefaultSectionSize(22);
    bind_.grid(f.grdMember, grid_);
    // Twips to pixels at the usual 15 twips a pixel.
    bind_.watch(f.grdMember, [this, &f] {
        for (int c = 0; c < f.grdMember.cols(); ++c)
            if (const int w = f.grdMember.colWidth(c) / 15; w > 0 && grid_->columnWidth(c) != w)
                grid_->setColumnWidth(c, c == 1 ? std::max(w / 2, 380) : w + 40);
    });
    grid_->horizontalHeader()->setStretchLastSection(true);
    layout->addWidget(grid_, 3);
    auto* log = new QListWidget;
    log->setFont(QFont("Monospace", 9));
    bind_.list(f.lstClientLog, log);
    layout->addWidget(log, 2);
    auto* hide = new QPushButton("Hide");
    QObject::connect(hide, &QPushButton::clicked, this, [&client] { client.link.cmdHide_Click(); });
    layout->addWidget(hide, 0, Qt::AlignRight);
    bind_.window(f.window, this);
    if (f.window.caption().empty())
        setWindowTitle("Hub Link");
    resize(620, 820);
}

void LinkView::closeEvent(QCloseEvent* event)
{
    // The link keeps running; closing the window only hides it.
    event->ignore();
    client_.link.cmdHide_Click();
}

}  // namespace smtpin::gui
