#include "smtp/AllowList.h"

#include <QString>

namespace smtpin {
namespace {

// An IPv4 sender reached over an IPv6 listener shows as ::ffff:a.b.c.d.
QHostAddress plain(const QHostAddress& a)
{
    bool v4 = false;
    const quint32 ip = a.toIPv4Address(&v4);
    return v4 ? QHostAddress(ip) : a;
}

}  // namespace

std::optional<AllowList> AllowList::Parse(const std::string& text, std::string* why)
{
    AllowList list;
    for (const QString& part : QString::fromStdString(text).split(',', Qt::SkipEmptyParts)) {
        const QString entry = part.trimmed();
        if (entry.isEmpty())
            continue;
        std::pair<QHostAddress, int> range;
        QHostAddress single;
        if (entry.contains('/'))
            range = QHostAddress::parseSubnet(entry);
        else if (single.setAddress(entry))
            range = {plain(single), plain(single).protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128};
        if (range.first.isNull() || range.second < 0) {
            if (why)
                *why = "\"" + entry.toStdString() + "\" is neither an address nor a range such as 10.0.0.0/8";
            return std::nullopt;
        }
        list.ranges_.push_back(range);
    }
    return list;
}

bool AllowList::Allows(const std::string& address) const
{
    if (ranges_.empty())
        return true;
    QHostAddress a;
    if (!a.setAddress(QString::fromStdString(address)))
        return false;
    a = plain(a);
    for (const auto& [net, bits] : ranges_)
        if (a.isInSubnet(net, bits))
            return true;
    return false;
}

std::string AllowList::Describe() const
{
    std::string out;
    for (const auto& [net, bits] : ranges_)
        out += (out.empty() ? "" : ", ") + net.toString().toStdString() + "/" + std::to_string(bits);
    return out;
}

}  // namespace smtpin
