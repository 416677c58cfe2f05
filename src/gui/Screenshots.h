#pragma once

#include <QString>

namespace smtpin::core { class Client; }

namespace smtpin::gui {

class LinkView;
class MainWindowView;
class TcpSetupView;

// Pictures of the operator windows for the documentation and for review:
// every page of the main window, the TCP setup window and the hub link
// window, each under a strip with its caption (the picture of a widget has
// no title bar). Returns the number of pictures that could not be saved.
int SaveScreenshots(core::Client& client, const QString& folder, MainWindowView& main, TcpSetupView& tcp,
                    LinkView& link);

}  // namespace smtpin::gui
