#include "Screenshots.h"

#include "LinkView.h"
#include "MainWindowView.h"
#include "TcpSetupView.h"
#include "core/Client.h"

#include <QCoreApplication>
#include <QDir>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QPixmap>

namespace smtpin::gui {

namespace {

QImage withCaption(QWidget& window)
{
    const QPixmap body = window.grab();
    QFont font = window.font();
    font.setBold(true);
    const int strip = QFontMetrics(font).height() + 10;
    QImage picture(body.width(), body.height() + strip, QImage::Format_RGB32);
    picture.fill(QColor(60, 90, 140));
    QPainter p(&picture);
    p.setFont(font);
    p.setPen(Qt::white);
    p.drawText(QRect(8, 0, body.width() - 16, strip), Qt::AlignVCenter | Qt::AlignLeft, window.windowTitle());
    p.drawPixmap(0, strip, body);
    return picture;
}

bool save(QWidget& window, const QDir& folder, const QString& name)
{
    window.raise();
    QCoreApplication::processEvents();
    return withCaption(window).save(folder.absoluteFilePath(name + ".png"));
}

}  // namespace

int SaveScreenshots(core::Client& client, const QString& folder, MainWindowView& main, TcpSetupView& tcp,
                    LinkView& link)
{
    QDir().mkpath(folder);
    const QDir dir(folder);
    const auto w = client.windows();
    int failed = 0;
    const char* pages[] = {"main", "main-settings", "main-testing"};
    for (int tab = 0; tab < 3; ++tab) {
        w.mainForm.SSTab1.setTab(tab);
        failed += save(main, dir, pages[tab]) ? 0 : 1;
    }
    w.mainForm.SSTab1.setTab(0);
    // Shown the operator's way, so the windows stay what the forms say.
    w.main.mnuShowTCP_Click();
    failed += save(tcp, dir, "tcp-setup") ? 0 : 1;
    w.linkForm.window.setVisible(true);
    failed += save(link, dir, "hub-link") ? 0 : 1;
    return failed;
}

}  // namespace smtpin::gui
