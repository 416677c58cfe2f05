#include "Display.h"

#include <cstdlib>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace smtpin::app {
namespace {

std::string env(const char* name)
{
    const char* v = std::getenv(name);
    return v ? v : "";
}

// An X server's local socket takes a connection (in the abstract namespace
// or as a file).
bool answers(const std::string& path, bool abstract)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t offset = abstract ? 1 : 0;
    std::memcpy(address.sun_path + offset, path.data(), std::min(path.size(), sizeof address.sun_path - 1 - offset));
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

std::optional<std::string> NoDisplay()
{
    const std::string platform = env("QT_QPA_PLATFORM");
    // Another platform (offscreen, wayland, vnc) is Qt's to find.
    if (!platform.empty() && platform.rfind("xcb", 0) != 0)
        return std::nullopt;
    if (platform.empty() && !env("WAYLAND_DISPLAY").empty())
        return std::nullopt;
    const std::string display = env("DISPLAY");
    if (display.empty())
        return std::string("DISPLAY is not set");
    // ":0", ":0.0" or "unix:0": a server on this machine, whose socket can be tried.
    std::string number;
    if (display.front() == ':')
        number = display.substr(1);
    else if (display.rfind("unix:", 0) == 0)
        number = display.substr(5);
    else
        return std::nullopt;
    number = number.substr(0, number.find('.'));
    const std::string socket = "/tmp/.X11-unix/X" + number;
    if (answers(socket, true) || answers(socket, false))
        return std::nullopt;
    return "nothing answers on DISPLAY=" + display;
}

}  // namespace smtpin::app
