#pragma once

#include "platform/DateSerial.h"

#include <cstdint>
#include <string>

namespace smtpin {
class Clock;
namespace db { class ClientRegistration; }
}

namespace smtpin::messages {

// One pager message (or control word) as exchanged with the switch. Its
// record text is the 18 fields in this order joined by "|", unescaped.
class MessageType {
public:
    MessageType() { Clear(); }

    std::int32_t MessId;
    DateSerial Created;
    std::string Source;
    std::string destination;
    std::int16_t Priority;
    std::string status;
    std::string Number;
    std::string SrceNumber;
    std::string Message;
    std::string Hash;
    std::string InterfaceAddress;
    std::string Machine;
    DateSerial Sent;
    DateSerial Finished;
    std::string Region;
    std::string PType;
    std::string EventLog;
    std::string ComChannel;

    static constexpr int kFieldCount = 18;

    void Clear();
    bool Copy(MessageType& target) const;
    // Fresh identifier from the catalogue, created now, owned by this client.
    void NewMessage(db::ClientRegistration& registration, const Clock& clock);
    std::string ConCatMe() const;
    bool ConvertMtype(const std::string& source, MessageType& target) const;
    bool ConvertIntoMtype(const std::string& source);
    // Reads every field, leaving one that does not convert at its cleared
    // value and naming it in unreadable ("Created '12/8/2026 6:00:00 PM'").
    // False when the text ends before the command word. converts, when
    // given, tells whether every field converted, empty ones included, as
    // ConvertIntoMtype requires.
    bool ReadAllFields(const std::string& source, std::string& unreadable, bool* converts = nullptr);

private:
    std::string NextField(const std::string& source, std::size_t length);
    bool storeField(int index, const std::string& text);

    std::size_t FieldCursor = 1;
};

}  // namespace smtpin::messages
