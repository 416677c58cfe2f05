#include "WidgetDialogs.h"

#include <QMessageBox>

namespace smtpin::gui {

void WidgetDialogs::MsgBox(const std::string& text, const std::string& title)
{
    QMessageBox::information(nullptr, QString::fromLatin1(title.c_str()), QString::fromLatin1(text.c_str()));
}

bool WidgetDialogs::AskYesNo(const std::string& text, const std::string& title)
{
    return QMessageBox::question(nullptr, QString::fromLatin1(title.c_str()), QString::fromLatin1(text.c_str()),
                                 QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

}  // namespace smtpin::gui
