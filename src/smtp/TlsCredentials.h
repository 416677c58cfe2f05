#pragma once

#include <QSslConfiguration>

#include <optional>
#include <string>

namespace smtpin {

// The server's certificate and key for STARTTLS, read from PEM files.
class TlsCredentials {
public:
    // The configuration sessions are upgraded with: TLS 1.2 and 1.3 only,
    // no client certificate asked. Nothing, with the reason naming the
    // file, when a file cannot be read or used.
    static std::optional<QSslConfiguration> Load(const std::string& certFile, const std::string& keyFile,
                                                 std::string* why);
};

}  // namespace smtpin
