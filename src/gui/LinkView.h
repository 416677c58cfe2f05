#pragma once

#include "Binder.h"

#include <QWidget>

class QTableWidget;

namespace smtpin {
namespace forms { struct CommDisplayForm; }
namespace hub { class CommDisplay; }
}  // namespace smtpin

namespace smtpin::gui {

// The hub link window: this client's member record as a property grid and
// the link's own log, newest first.
class LinkView : public QWidget {
public:
    static constexpr int kRowHeight = 22;
    // Rows of the member grid always in sight; the rest scroll.
    static constexpr int kVisibleRows = 8;

    LinkView(forms::CommDisplayForm& form, hub::CommDisplay& link);
    QTableWidget* grid() const { return grid_; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    hub::CommDisplay& link_;
    Binder bind_;
    QTableWidget* grid_ = nullptr;
};

}  // namespace smtpin::gui
