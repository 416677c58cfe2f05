#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace smtpin {

// The registry stand-in: read-only string values from an INI file. A
// registry key path below the root the program owns maps to INI groups
// ("Software\VORN\HXS\Database" -> [Database], "...\SMTP_S01\TCPSetup" ->
// [SMTP_S01/TCPSetup]). Group and value names match without regard to
// letter case, as registry names do. The file is read afresh on every call,
// so an edit takes effect on the next read.
class SettingsStore {
public:
    static constexpr const char* kRootKey = "Software\\VORN\\HXS";
    // A registry string value is read into a buffer of 255 characters.
    static constexpr std::size_t kMaxValueLength = 254;

    explicit SettingsStore(std::string fileName);

    const std::string& fileName() const { return fileName_; }

    // Why the file cannot be used: it is there but cannot be read, or does
    // not parse. Nothing when it is fine or missing (a missing file means
    // every default). A file the program cannot use must never read as one
    // of defaults: that would be another catalogue, port and switch.
    std::optional<std::string> Problem() const;

    // Empty when the file, group or value is missing, or the value is longer
    // than kMaxValueLength (the read fails rather than cut it). Never throws.
    std::string ReadRegistryValue(const std::string& keyPath, const std::string& name) const;
    // The same with another bound, for values such as connection strings.
    std::string ReadValue(const std::string& keyPath, const std::string& name, std::size_t maxLength) const;
    // The same, telling a value that is not there (nothing) from an empty one.
    std::optional<std::string> Find(const std::string& keyPath, const std::string& name, std::size_t maxLength) const;

    // "Software\VORN\HXS\A\B" (or "A\B", or "A/B") -> "A/B".
    static std::string groupOf(const std::string& keyPath);

private:
    std::string fileName_;
};

}  // namespace smtpin
