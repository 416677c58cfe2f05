#include "smtp/TlsCredentials.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace smtpin {
namespace {

std::optional<QByteArray> readFile(const std::string& path, std::string* why)
{
    QFile f(QString::fromStdString(path));
    if (!f.open(QIODevice::ReadOnly)) {
        *why = path + " cannot be read: " + f.errorString().toStdString();
        return std::nullopt;
    }
    // A PEM certificate chain or key is a few kilobytes.
    const QByteArray data = f.read(1024 * 1024);
    return data;
}

// The private key is the one of the certificate's public key, as the
// handshake will require.
bool belongTogether(const QByteArray& certPem, const QByteArray& keyPem)
{
    BIO* certBio = BIO_new_mem_buf(certPem.constData(), static_cast<int>(certPem.size()));
    BIO* keyBio = BIO_new_mem_buf(keyPem.constData(), static_cast<int>(keyPem.size()));
    X509* cert = certBio ? PEM_read_bio_X509(certBio, nullptr, nullptr, nullptr) : nullptr;
    EVP_PKEY* key = keyBio ? PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr) : nullptr;
    const bool ok = cert && key && X509_check_private_key(cert, key) == 1;
    EVP_PKEY_free(key);
    X509_free(cert);
    BIO_free(keyBio);
    BIO_free(certBio);
    ERR_clear_error();
    return ok;
}

}  // namespace

std::optional<QSslConfiguration> TlsCredentials::Load(const std::string& certFile, const std::string& keyFile,
                                                      std::string* why)
{
    if (!QSslSocket::supportsSsl()) {
        *why = "this Qt has no TLS library";
        return std::nullopt;
    }
    const auto certPem = readFile(certFile, why);
    if (!certPem)
        return std::nullopt;
    const QList<QSslCertificate> chain = QSslCertificate::fromData(*certPem, QSsl::Pem);
    if (chain.isEmpty() || chain.first().isNull()) {
        *why = certFile + " holds no PEM certificate";
        return std::nullopt;
    }
    const auto keyPem = readFile(keyFile, why);
    if (!keyPem)
        return std::nullopt;
    QSslKey key;
    for (QSsl::KeyAlgorithm a : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa}) {
        key = QSslKey(*keyPem, a, QSsl::Pem, QSsl::PrivateKey);
        if (!key.isNull())
            break;
    }
    if (key.isNull()) {
        *why = keyFile + " holds no unencrypted PEM private key";
        return std::nullopt;
    }
    if (key.algorithm() != chain.first().publicKey().algorithm() || !belongTogether(*certPem, *keyPem)) {
        *why = keyFile + " is not the key of the certificate in " + certFile;
        return std::nullopt;
    }
    QSslConfiguration c = QSslConfiguration::defaultConfiguration();
    c.setProtocol(QSsl::TlsV1_2OrLater);
    c.setPeerVerifyMode(QSslSocket::VerifyNone);
    c.setLocalCertificateChain(chain);
    c.setPrivateKey(key);
    return c;
}

}  // namespace smtpin
