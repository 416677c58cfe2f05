#pragma once

#include <QProcess>
#include <QString>

namespace smtpin::test {

// A real X server (Xvfb) on a display number of its own choosing, for the
// windowed program as operators run it: the offscreen platform starts none
// of the threads a display connection does.
class XvfbDisplay {
public:
    // screen: width x height x depth, as Xvfb takes it.
    explicit XvfbDisplay(const QString& screen = "1280x1024x24");
    ~XvfbDisplay();
    XvfbDisplay(const XvfbDisplay&) = delete;
    XvfbDisplay& operator=(const XvfbDisplay&) = delete;

    // ":N" once the server is up; empty when it could not start.
    const QString& display() const { return display_; }
    QString errorText() const { return error_; }

private:
    QProcess server_;
    QString display_;
    QString error_;
};

}  // namespace smtpin::test
