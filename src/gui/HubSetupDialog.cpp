#include "HubSetupDialog.h"

#include "forms/FrmTCPHub.h"
#include "shell/FrmHubSetupWindow.h"

#include <QCloseEvent>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>

namespace smtpin::gui {

HubSetupDialog::HubSetupDialog(forms::FrmHubSetup& f, shell::FrmHubSetupWindow& window) : window_(window)
{
    auto* form = new QFormLayout(this);
    const char* captions[] = {"User Id", "Remote Address", "Remote Port"};
    for (int i = 0; i < 3; ++i) {
        auto* edit = new QLineEdit;
        edit->setObjectName(QString("txtHubSetup%1").arg(i));
        bind_.text(f.txtHubSetup[static_cast<size_t>(i)], edit);
        form->addRow(captions[i], edit);
    }
    auto* buttons = new QHBoxLayout;
    for (int i = 0; i < 2; ++i) {
        auto* b = new QPushButton;
        bind_.button(f.cmdControl[static_cast<size_t>(i)], b, [this, i] { window_.cmdControl_Click(i); });
        buttons->addWidget(b);
        if (i == 0)
            ok_ = b;
    }
    form->addRow(buttons);
    bind_.window(f.window, this);
}

void HubSetupDialog::closeEvent(QCloseEvent* event)
{
    event->ignore();
    window_.cmdControl_Click(1);
}

}  // namespace smtpin::gui
