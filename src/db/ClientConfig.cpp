#include "db/ClientConfig.h"

#include "db/CatalogueConnection.h"
#include "db/ClientRegistration.h"
#include "log/SystemLog.h"

#include <utility>

namespace smtpin::db {

ClientConfig::ClientConfig(CatalogueConnection& db, SystemLog& log, const ClientRegistration& registration)
    : db_(db), log_(log), registration_(registration)
{
}

const std::string& ClientConfig::clientId() const { return registration_.clientId(); }

std::string ClientConfig::GetClientConfig(const std::string& parameter, const std::string& device)
{
    return db_.guarded({" GCC: Database error is "}, [&]() -> std::string {
                  Recordset rs =
                      db_.OpenRecordset("SELECT * FROM HXSClientConfig WHERE ([Device] = ?) AND ([Parameter] = ?)",
                                        {qs(device), qs(parameter)});
                  if (!rs.next())
                      return {};
                  const QVariant value = rs.field("Value");
                  if (rs.next())
                      warning_ += "\r\n GCC: Warning: Parameter " + parameter + " not unique in config database";
                  if (value.isNull()) {
                      warning_ += "\r\n GCC: Config Field is NULL for Device [" + device + "] parameter [" +
                                  parameter + "]";
                      return {};
                  }
                  return toText(value);
              })
        .value_or("");
}

std::string ClientConfig::ReadClientConfig(const std::string& parameter)
{
    if (ClientRegistration::NoIdentity(clientId()))
        return {};
    return GetClientConfig(parameter, clientId());
}

bool ClientConfig::SetClientConfig(const std::string& value, const std::string& parameter)
{
    return db_.guarded({" SCG: Database error is ", nullptr, false}, [&] {
                  int rows = 0;
                  {
                      Recordset rs = db_.OpenRecordset(
                          "SELECT * FROM HXSClientConfig WHERE ([Device] = ?) AND ([Parameter] = ?)",
                          {qs(clientId()), qs(parameter)});
                      while (rows < 2 && rs.next())
                          ++rows;
                  }
                  if (rows > 1)
                      warning_ += "\r\n GCC: Warning: Parameter " + parameter +
                                  " not unique in config database for ID " + clientId();
                  if (rows == 0)
                      return InsertClientConfig(value, parameter);
                  // Duplicates all get the value, so whichever a read finds first is right.
                  db_.Execute("UPDATE HXSClientConfig SET [Value] = ? WHERE ([Device] = ?) AND ([Parameter] = ?)",
                              {qs(value), qs(clientId()), qs(parameter)});
                  return true;
              })
        .value_or(false);
}

bool ClientConfig::SaveClientConfig(const std::string& parameter, const std::string& value)
{
    if (ClientRegistration::NoIdentity(clientId()))
        return false;
    return SetClientConfig(value, parameter);
}

bool ClientConfig::InsertClientConfig(const std::string& value, const std::string& parameter)
{
    return db_.guarded({"ICUID: Unable to insert into ClientConfig. Database error is ", nullptr, false}, [&] {
        db_.Execute("INSERT INTO HXSClientConfig ([Device], [Parameter], [Value]) VALUES (?, ?, ?)",
                    {qs(clientId()), qs(parameter), qs(value)});
    });
}

std::string ClientConfig::TakeConfigWarning() { return std::exchange(warning_, std::string()); }

std::string ClientConfig::GetConfigParameter(const std::string& name)
{
    std::string value = GetClientConfig(name, clientId());
    const std::string warning = TakeConfigWarning();
    if (!warning.empty())
        log_.ApplicationLine(warning, true);
    return value;
}

}  // namespace smtpin::db
