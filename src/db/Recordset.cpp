#include "db/Recordset.h"

#include <QDate>
#include <QDateTime>
#include <QSqlRecord>

#include <cmath>
#include <limits>

namespace smtpin::db {
namespace {

[[noreturn]] void fault(const std::string& description) { throw DatabaseFault{description}; }

// A number as the original's integer conversions take it: halves go to the
// even neighbour, text must be numeric, the result must fit.
std::int64_t toWhole(const QVariant& v, std::int64_t low, std::int64_t high)
{
    if (v.isNull())
        fault("Invalid use of Null");
    bool ok = false;
    double d = 0;
    switch (v.typeId()) {
    case QMetaType::QString:
    case QMetaType::QByteArray:
        d = v.toString().trimmed().toDouble(&ok);
        break;
    default:
        d = v.toDouble(&ok);
        break;
    }
    if (!ok || !std::isfinite(d))
        fault("Type mismatch");
    const double r = std::nearbyint(d);
    if (r < static_cast<double>(low) || r > static_cast<double>(high))
        fault("Overflow");
    return static_cast<std::int64_t>(r);
}

}  // namespace

std::string toText(const QVariant& v)
{
    if (v.isNull())
        fault("Invalid use of Null");
    if (v.typeId() == QMetaType::QDateTime)
        return DateSerial::fromDateTime(v.toDateTime()).generalDate();
    if (v.typeId() == QMetaType::QDate)
        return DateSerial::fromDateTime(v.toDate().startOfDay()).generalDate();
    return v.toString().toLatin1().toStdString();
}

std::int16_t toInt16(const QVariant& v)
{
    return static_cast<std::int16_t>(
        toWhole(v, std::numeric_limits<std::int16_t>::min(), std::numeric_limits<std::int16_t>::max()));
}

std::int32_t toInt32(const QVariant& v)
{
    return static_cast<std::int32_t>(
        toWhole(v, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

DateSerial toDateSerial(const QVariant& v)
{
    if (v.isNull())
        fault("Invalid use of Null");
    switch (v.typeId()) {
    case QMetaType::QDateTime:
        return DateSerial::fromDateTime(v.toDateTime());
    case QMetaType::QDate:
        return DateSerial::fromDateTime(v.toDate().startOfDay());
    case QMetaType::Double:
    case QMetaType::Int:
    case QMetaType::LongLong:
        return DateSerial(v.toDouble());
    default:
        break;
    }
    // SQLite keeps date-times as text: "yyyy-mm-dd hh:mm:ss", maybe with a
    // "T" and milliseconds.
    std::string text = v.toString().trimmed().toLatin1().toStdString();
    if (text.size() > 10 && text[10] == 'T')
        text[10] = ' ';
    if (const auto dot = text.find('.'); dot != std::string::npos && dot >= 19)
        text.erase(dot);
    if (const auto parsed = DateSerial::parse(text))
        return *parsed;
    fault("Type mismatch");
}

QVariant Recordset::field(const char* name) const
{
    const int index = query_.record().indexOf(QString::fromLatin1(name));
    if (index < 0)
        fault(std::string("Item cannot be found in the collection corresponding to the requested name or ordinal: ") +
              name);
    return query_.value(index);
}

std::string Recordset::text(const char* name) const { return toText(field(name)); }
std::int16_t Recordset::int16(const char* name) const { return toInt16(field(name)); }
std::int32_t Recordset::int32(const char* name) const { return toInt32(field(name)); }
DateSerial Recordset::date(const char* name) const { return toDateSerial(field(name)); }

}  // namespace smtpin::db
