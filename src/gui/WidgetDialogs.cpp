#include "WidgetDialogs.h"

#include <QApplication>
#include <QMessageBox>
#include <QWidget>

#include <iostream>

namespace smtpin::gui {

namespace {
void tell(const std::string& text) { std::cerr << "smtpin: " << text << std::endl; }
}  // namespace

void WidgetDialogs::MsgBox(const std::string& text, const std::string& title)
{
    tell(text);
    if (dismissed_)
        return;
    QMessageBox::information(nullptr, QString::fromLatin1(title.c_str()), QString::fromLatin1(text.c_str()));
}

// No is the default: Enter never says yes to what a question warns about.
bool WidgetDialogs::AskYesNo(const std::string& text, const std::string& title)
{
    tell(text);
    if (dismissed_)
        return false;
    return QMessageBox::question(nullptr, QString::fromLatin1(title.c_str()), QString::fromLatin1(text.c_str()),
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}

void WidgetDialogs::dismiss()
{
    dismissed_ = true;
    // Boxes inside boxes close from the top.
    while (QWidget* box = QApplication::activeModalWidget()) {
        box->close();
        if (QApplication::activeModalWidget() == box)
            break;
    }
}

}  // namespace smtpin::gui
