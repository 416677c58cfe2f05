#include "Binder.h"

#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QTableWidget>

#include <algorithm>
#include <memory>

namespace smtpin::gui {

namespace {

QString qs(const std::string& s) { return QString::fromLatin1(s.data(), static_cast<int>(s.size())); }

void common(const Control& c, QWidget* w)
{
    w->setEnabled(c.enabled());
    w->setToolTip(qs(c.toolTip()));
}

// A widget is bound before it is put into its window; showing it then
// would open it as a window of its own. Its layout shows it when it is
// added, unless it was hidden.
void shown(const Control& c, QWidget* w)
{
    if (!c.visible())
        w->hide();
    else if (w->isHidden() && w->parentWidget())
        w->show();
}

}  // namespace

EventHook::EventHook(QObject* parent, QEvent::Type type, std::function<void()> handler)
    : QObject(parent), type_(type), handler_(std::move(handler))
{
}

void EventHook::install(QWidget* widget, QEvent::Type type, std::function<void()> handler)
{
    widget->installEventFilter(new EventHook(widget, type, std::move(handler)));
}

bool EventHook::eventFilter(QObject*, QEvent* event)
{
    if (event->type() == type_ && handler_)
        handler_();
    return false;
}

Binder::~Binder()
{
    for (auto& [control, id] : subscriptions_)
        control->unsubscribe(id);
}

void Binder::watch(Control& control, std::function<void()> refresh)
{
    refresh();
    subscriptions_.emplace_back(&control, control.subscribe(std::move(refresh)));
}

void Binder::label(Label& c, QLabel* w)
{
    watch(c, [&c, w] {
        common(c, w);
        w->setText(qs(c.caption()));
        // A state's colour, readable in any theme.
        static const char* const kTones[] = {"", "QLabel { background: #2e7d32; color: white; padding: 2px 6px; }",
                                             "QLabel { background: #f9a825; color: black; padding: 2px 6px; }",
                                             "QLabel { background: #c62828; color: white; padding: 2px 6px; }"};
        const QString sheet = QString::fromLatin1(kTones[static_cast<int>(c.tone())]);
        if (w->styleSheet() != sheet)
            w->setStyleSheet(sheet);
        shown(c, w);
    });
}

void Binder::frame(Label& c, QGroupBox* w)
{
    watch(c, [&c, w] {
        common(c, w);
        w->setTitle(qs(c.caption()));
    });
}

void Binder::button(Label& c, QPushButton* w, std::function<void()> clicked)
{
    watch(c, [&c, w] {
        common(c, w);
        w->setText(qs(c.caption()));
        shown(c, w);
    });
    QObject::connect(w, &QPushButton::clicked, w, [clicked] { if (clicked) clicked(); });
}

void Binder::text(TextBox& c, QLineEdit* w)
{
    watch(c, [&c, w] {
        common(c, w);
        if (w->text() != qs(c.text()))
            w->setText(qs(c.text()));
        shown(c, w);
    });
    QObject::connect(w, &QLineEdit::textEdited, w, [&c](const QString& t) { c.setText(t.toLatin1().toStdString()); });
}

void Binder::check(CheckBox& c, QCheckBox* w)
{
    watch(c, [&c, w] {
        common(c, w);
        w->setText(qs(c.caption()));
        w->setChecked(c.checked());
    });
    QObject::connect(w, &QCheckBox::toggled, w, [&c](bool on) { c.setValue(on ? 1 : 0); });
}

namespace {

// A log list being read: newest first. Scrolled away from the newest line,
// the list keeps the lines in view and says how many came above; back at
// the top, it follows new lines again.
struct ListReading {
    std::uint64_t added = 0;   // the list's count of lines added at the top, at the last rebuild
    std::uint64_t unseen = 0;
    int anchor = -1;           // the row the reader keeps at the top; -1: following the newest
    bool rebuilding = false;

    void rebuild(ListBox& c, QListWidget* w, QLabel* news)
    {
        const std::uint64_t fresh = c.addedAtTop() - added;
        added = c.addedAtTop();
        if (w->verticalScrollBar()->value() == 0)
            anchor = -1;
        else if (anchor < 0)
            anchor = w->indexAt(QPoint(1, 1)).row();
        const std::uint64_t row = anchor >= 0 ? static_cast<std::uint64_t>(anchor) + fresh : 0;
        rebuilding = true;
        w->setUpdatesEnabled(false);
        w->clear();
        for (const auto& line : c.items())
            w->addItem(qs(line));
        if (anchor >= 0 && row < static_cast<std::uint64_t>(w->count())) {
            anchor = static_cast<int>(row);
            unseen += fresh;
            w->scrollToItem(w->item(anchor), QAbstractItemView::PositionAtTop);
            news->setText(QString("%1 new lines above").arg(unseen));
            news->adjustSize();
            news->move(std::max(0, w->viewport()->width() - news->width() - 4), 2);
            news->setVisible(unseen > 0);
        } else {
            // Following the newest line, or the lines read have gone off the end.
            anchor = -1;
            unseen = 0;
            news->hide();
            if (c.listIndex() >= 0 && c.listIndex() < w->count())
                w->setCurrentRow(c.listIndex());
        }
        w->setUpdatesEnabled(true);
        rebuilding = false;
    }
};

}  // namespace

void Binder::list(ListBox& c, QListWidget* w, std::function<void()> clicked)
{
    auto* news = new QLabel(w);
    news->setObjectName("newLines");
    news->setStyleSheet("QLabel { background: #f9a825; color: black; padding: 1px 6px; }");
    news->hide();
    auto reading = std::make_shared<ListReading>();
    reading->added = c.addedAtTop();
    QObject::connect(w->verticalScrollBar(), &QScrollBar::valueChanged, news, [news, reading](int value) {
        if (reading->rebuilding)
            return;
        // The reader moved: the row at the top is read afresh at the next line.
        reading->anchor = -1;
        if (value == 0) {
            reading->unseen = 0;
            news->hide();
        }
    });
    watch(c, [&c, w, news, reading] {
        common(c, w);
        reading->rebuild(c, w, news);
    });
    QObject::connect(w, &QListWidget::itemClicked, w, [&c, w, clicked](QListWidgetItem*) {
        c.setListIndex(w->currentRow());
        if (clicked)
            clicked();
    });
}

void Binder::action(MenuItem& c, QAction* w, std::function<void()> triggered)
{
    watch(c, [&c, w] {
        w->setEnabled(c.enabled());
        w->setVisible(c.visible());
        w->setText(qs(c.caption()));
        w->setChecked(c.checked());
    });
    QObject::connect(w, &QAction::triggered, w, [triggered] { if (triggered) triggered(); });
}

void Binder::window(Window& c, QWidget* w, const char* fallback)
{
    watch(c, [&c, w, fallback] {
        w->setWindowTitle(c.caption().empty() ? QString::fromLatin1(fallback) : qs(c.caption()));
        if (w->isVisible() != c.visible())
            w->setVisible(c.visible());
        if (c.visible() && w->isMinimized() != c.minimised())
            c.minimised() ? w->showMinimized() : w->showNormal();
    });
    // The window manager minimises and restores too.
    EventHook::install(w, QEvent::WindowStateChange, [&c, w] { c.setMinimised(w->isMinimized()); });
}

void Binder::tabs(TabStrip& c, QTabWidget* w)
{
    watch(c, [&c, w] {
        if (w->currentIndex() != c.tab() && c.tab() >= 0 && c.tab() < w->count())
            w->setCurrentIndex(c.tab());
    });
    QObject::connect(w, &QTabWidget::currentChanged, w, [&c](int index) { c.setTab(index); });
}

void Binder::grid(Grid& c, QTableWidget* w)
{
    watch(c, [&c, w] {
        if (w->rowCount() != c.rows() || w->columnCount() != c.cols()) {
            w->setRowCount(c.rows());
            w->setColumnCount(c.cols());
        }
        for (int r = 0; r < c.rows(); ++r)
            for (int k = 0; k < c.cols(); ++k) {
                QTableWidgetItem* item = w->item(r, k);
                if (!item) {
                    item = new QTableWidgetItem;
                    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
                    w->setItem(r, k, item);
                }
                const QString text = qs(c.textMatrix(r, k));
                if (item->text() != text)
                    item->setText(text);
                const unsigned rgb = c.cellBackColor(r, k);
                const QColor colour((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
                if (item->background().color() != colour)
                    item->setBackground(colour);
            }
    });
}

}  // namespace smtpin::gui
