#pragma once

namespace smtpin::messages::words {

// The switch family's words this client writes or tests; compared exactly.
inline constexpr const char* NEWMESS = "NEWMESS";
inline constexpr const char* UPDATE = "UPDATE";
inline constexpr const char* DONE = "DONE";
inline constexpr const char* DELETE = "DELETE";
inline constexpr const char* READY = "READY";
inline constexpr const char* UNAVAIL = "UNAVAIL";
inline constexpr const char* WATCHDOG = "WATCHDOG";
inline constexpr const char* PORTASSIG = "PORTASSIG";
inline constexpr const char* TCPPKTBAD = "TCPPKTBAD";
inline constexpr const char* INPUTQ = "INPUTQ";
inline constexpr const char* NOT_Qued = "NOT_Qued";
inline constexpr const char* GROUPCHECK = "GROUPCHECK";
inline constexpr const char* NULL_WORD = "NULL";

}  // namespace smtpin::messages::words
