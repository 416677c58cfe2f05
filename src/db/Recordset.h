#pragma once

#include "platform/DateSerial.h"

#include <QSqlQuery>
#include <QVariant>

#include <cstdint>
#include <string>
#include <utility>

namespace smtpin::db {

// A failed statement or an unreadable field. Thrown by the connection's
// helpers and caught by the routine that ran them; it never leaves the
// database module.
struct DatabaseFault {
    std::string description;
};

// The rows of one query, read forward. Fields are found by column name
// without regard to letter case. The statement is released when the
// recordset goes, so no read lock outlives it.
class Recordset {
public:
    explicit Recordset(QSqlQuery query) : query_(std::move(query)) {}
    // Handed out as a temporary only: a moved-from query cannot be finished.
    Recordset(Recordset&&) = delete;
    Recordset(const Recordset&) = delete;
    ~Recordset() { query_.finish(); }

    // Moves to the next row; false past the last one.
    bool next() { return query_.next(); }
    void close() { query_.finish(); }

    QVariant field(const char* name) const;
    bool isNull(const char* name) const { return field(name).isNull(); }
    // The field as text; throws on NULL, as reading Null into a string does.
    std::string text(const char* name) const;
    std::int16_t int16(const char* name) const;
    std::int32_t int32(const char* name) const;
    DateSerial date(const char* name) const;

private:
    QSqlQuery query_;
};

// Conversions of one field value, with the faults of the original's
// conversions ("Invalid use of Null", "Type mismatch", "Overflow").
std::string toText(const QVariant& v);
std::int16_t toInt16(const QVariant& v);
std::int32_t toInt32(const QVariant& v);
DateSerial toDateSerial(const QVariant& v);

// Text at the Qt edge: one byte, one character.
inline QString qs(const std::string& s) { return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size())); }

}  // namespace smtpin::db
