#include "core/ClientParameters.h"

#include "db/ClientRegistration.h"
#include "messages/InputQueue.h"
#include "platform/Text.h"
#include "smtp/AllowList.h"
#include "smtp/CodePage.h"

#include <QHostAddress>
#include <QString>

#include <charconv>

namespace smtpin::core {
namespace {

std::optional<std::string> whole(const std::string& v, long lo, long hi)
{
    long n = 0;
    const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
    if (v.empty() || ec != std::errc() || end != v.data() + v.size() || n < lo || n > hi)
        return "\"" + v + "\" is not a whole number from " + std::to_string(lo) + " to " + std::to_string(hi);
    return std::nullopt;
}

template <long Lo, long Hi> std::optional<std::string> range(const std::string& v) { return whole(v, Lo, Hi); }

std::optional<std::string> address(const std::string& v)
{
    if (QHostAddress().setAddress(QString::fromStdString(v)))
        return std::nullopt;
    return "\"" + v + "\" is not an IP address";
}

std::optional<std::string> onOff(const std::string& v)
{
    if (text::EqualsNoCase(v, "ON") || text::EqualsNoCase(v, "OFF"))
        return std::nullopt;
    return "\"" + v + "\" is neither ON nor OFF";
}

std::optional<std::string> codePage(const std::string& v) { return CodePage::Check(v); }

std::optional<std::string> senders(const std::string& v)
{
    std::string why;
    if (AllowList::Parse(v, &why))
        return std::nullopt;
    return why;
}

std::optional<std::string> anyText(const std::string&) { return std::nullopt; }

constexpr const char* kStart = "at start-up";

}  // namespace

const std::vector<ClientParameter>& ClientParameters()
{
    static const std::vector<ClientParameter> all = {
        {"SMTPPORT", "0 to 65535 (0: any free port)", "25 (embedded default: 2525)", kStart, "SMTP port", range<0, 65535>},
        {"SMTPIP", "an IP address of this machine", "127.0.0.1", kStart, "address the SMTP listener binds", address},
        {"MAX_SOCKETS", "1 to 100", "10 (embedded default: 50)", kStart, "SMTP sessions at once; one more gets 421",
         range<1, 100>},
        {"TCPTIMEOUT", "1 to 20 seconds", "3 (embedded default: 10)", kStart,
         "a session is closed this long after its last data", range<1, 20>},
        {"SESSION_MAX", "10 to 86400 seconds", "600", kStart, "a session is closed this long after it was accepted",
         range<10, 86400>},
        {"TCP_HUB_TIMEOUT", "60 to 10000 seconds", "600 (3 when empty)", kStart,
         "the listener is reopened after this long without a connection", range<60, 10000>},
        {"ALLOWED_SENDERS", "addresses and CIDR ranges, comma-separated; empty: everyone", "empty", kStart,
         "who may connect; others get 554 Access denied", senders},
        {"QUEUE_SIZE", "0 to 301", "300", "at start-up and when the queue is reset", "input queue slots",
         range<0, messages::InputQueue::kMaxQueueSize>},
        {"SPOOL_MAX", "1 to 1000000", "10000", kStart, "pages the spool may hold", range<1, 1000000>},
        {"MESSID_BLOCK", "1 to 100000", "100", kStart, "message ids reserved at a time",
         range<1, db::ClientRegistration::kMaxMessIdBlock>},
        {"SWITCH_CODEPAGE", "a single-byte charset iconv knows", "windows-1252", kStart,
         "code page of the text sent to the switch", codePage},
        {"LOG_KEEP_DAYS", "0 to 36500 days (0: keep for ever)", "90", kStart,
         "log backups older than this are deleted", range<0, 36500>},
        {"DEBUG", "ON or OFF", "OFF", kStart, "debug logging", onOff},
        {"GROUP_TEST_DEVICE_1", "a pager number", "empty", kStart, "test page group, device 1", anyText},
        {"GROUP_TEST_DEVICE_2", "a pager number", "empty", kStart, "test page group, device 2", anyText},
        {"GROUP_TEST_DEVICE_3", "a pager number", "empty", kStart, "test page group, device 3", anyText},
        {"GROUP_TEST_DEVICE_4", "a pager number", "empty", kStart, "test page group, device 4", anyText},
        {"SINGLE_TEST_DEVICE", "a pager number", "empty", kStart, "single test page device", anyText},
    };
    return all;
}

const ClientParameter* FindClientParameter(const std::string& name)
{
    for (const ClientParameter& p : ClientParameters())
        if (text::EqualsNoCase(name, p.name))
            return &p;
    return nullptr;
}

}  // namespace smtpin::core
