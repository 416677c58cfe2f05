#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace smtpin::db {

// Every setting of the client, described once: where it lives, what it
// takes, what it is when missing, what the embedded default seeds, and the
// "  IV: " lines start-up writes about it. Start-up, the config command and
// the seed of the embedded catalogue all read this table.
enum class Home {
    ClientRow,      // HXSClientConfig, Parameter = key, for the client's Device
    SystemRow,      // HXSSystem, Description = key; shared by every client of the catalogue
    SettingsFile,   // the settings file, "Group/Key"
};

enum class Kind {
    Whole,       // a whole number from lo to hi
    Address,     // an IP address
    Host,        // an IP address or a host name
    HostPort,    // "host:port" ("[::1]:9125"), or empty
    OnOff,       // ON or OFF
    YesNo,       // yes or no
    TrueFalse,   // True or False
    CodePage,    // a single-byte charset
    Senders,     // addresses and CIDR ranges
    Driver,      // QSQLITE or QODBC
    Text,        // anything up to maxLength
};

struct Parameter {
    const char* name;          // as the config command names it
    Home home;
    const char* key;           // the catalogue row or the settings file's "Group/Key"
    Kind kind;
    std::int32_t lo = 0, hi = 0;   // Whole
    const char* range = "";    // as the operator reads it
    const char* whenEmpty = "";   // what a missing or empty value means
    const char* seed = nullptr;   // the embedded default's value; nullptr: not seeded
    const char* about = "";
    const char* whenRead = "at start-up";
    // Start-up lines; {v} is the value as configured, {n} the value used.
    const char* emptyLine = nullptr;
    const char* setLine = nullptr;
    // The family's older clients take a whole number outside lo..hi from
    // the catalogue, with a line, and use fallback instead; the config
    // command never writes one. Whole numbers outside 16 bits stop start-up.
    bool fallsBack = false;
    std::int32_t fallback = 0;
    const char* smallLine = nullptr;
    const char* largeLine = nullptr;
    const char* zeroLine = nullptr;   // a set line of its own for 0
    std::size_t maxLength = 254;
    std::int32_t emptyNumber = 0;     // Whole: the number used when empty
};

// Every parameter, in the order the reference lists them.
const std::vector<Parameter>& Parameters();
// By its name or its key, without regard to letter case; nullptr when none.
const Parameter* FindParameter(std::string_view name);
// The entry of a name the program itself uses; throws when the table lacks it.
const Parameter& ParameterNamed(std::string_view name);

// A whole-number value as start-up and the config command read it: decimal,
// blanks around allowed, a fraction rounded as the family's clients do;
// nothing when it is no number.
std::optional<std::int32_t> WholeNumber(std::string_view value);

// Where a parameter lives, as the operator reads it.
std::string HomeText(const Parameter& p);

}  // namespace smtpin::db
