#pragma once

#include "Binder.h"

#include <QWidget>

class QTableWidget;

namespace smtpin::core { class Client; }

namespace smtpin::gui {

// The hub link window: this client's member record as a property grid and
// the link's own log, newest first.
class LinkView : public QWidget {
public:
    static constexpr int kRowHeight = 22;
    // Rows of the member grid always in sight; the rest scroll.
    static constexpr int kVisibleRows = 8;

    explicit LinkView(core::Client& client);
    QTableWidget* grid() const { return grid_; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    core::Client& client_;
    Binder bind_;
    QTableWidget* grid_ = nullptr;
};

}  // namespace smtpin::gui
