#pragma once

#include "platform/Controls.h"

#include <QEvent>
#include <QObject>

#include <functional>
#include <utility>
#include <vector>

class QAction;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTabWidget;
class QTableWidget;
class QWidget;

namespace smtpin::gui {

// Runs a handler when a widget receives one kind of event (focus in or
// out, a window state change); the event goes on as usual.
class EventHook : public QObject {
public:
    static void install(QWidget* widget, QEvent::Type type, std::function<void()> handler);

    EventHook(QObject* parent, QEvent::Type type, std::function<void()> handler);
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QEvent::Type type_;
    std::function<void()> handler_;
};

// Keeps widgets showing their controls: each control's change redraws its
// widget; operator input goes back to the control or to a handler. The
// binder forgets its subscriptions when it goes, before the widgets do.
class Binder {
public:
    Binder() = default;
    Binder(const Binder&) = delete;
    Binder& operator=(const Binder&) = delete;
    ~Binder();

    void label(Label& control, QLabel* widget);
    // A frame: its caption is the title; disabling it disables its contents.
    void frame(Label& control, QGroupBox* widget);
    void button(Label& control, QPushButton* widget, std::function<void()> clicked);
    // Typing writes back into the control; masked boxes show stars.
    void text(TextBox& control, QLineEdit* widget);
    void check(CheckBox& control, QCheckBox* widget);
    void list(ListBox& control, QListWidget* widget, std::function<void()> clicked = {});
    void action(MenuItem& control, QAction* widget, std::function<void()> triggered);
    // Caption, shown and minimised both ways; fallback is the caption while
    // the control has none.
    void window(Window& control, QWidget* widget, const char* fallback = "");
    void tabs(TabStrip& control, QTabWidget* widget);
    void grid(Grid& control, QTableWidget* widget);
    // Runs refresh now and on every change of the control.
    void watch(Control& control, std::function<void()> refresh);

private:
    std::vector<std::pair<Control*, int>> subscriptions_;
};

}  // namespace smtpin::gui
