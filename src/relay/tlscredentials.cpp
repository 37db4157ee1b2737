#include "tlscredentials.h"

#include <QCryptographicHash>
#include <QFile>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QSslKey>
#include <QSslSocket>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <memory>

namespace {
// Far more than any certificate chain or key; a path naming something endless (a device, a
// pipe) is refused instead of read until memory runs out.
constexpr qint64 MaxPemFileSize = 1024 * 1024;
// Clocks of clients a little behind ours still accept a certificate made this moment.
constexpr long BackdateSeconds = 3600;

template <typename T, void (*Free)(T *)> struct Deleter
{
    void operator()(T *p) const { Free(p); }
};
template <typename T, void (*Free)(T *)> using Owned = std::unique_ptr<T, Deleter<T, Free>>;
using Bio = Owned<BIO, BIO_free_all>;
using Key = Owned<EVP_PKEY, EVP_PKEY_free>;
using Cert = Owned<X509, X509_free>;
using Extension = Owned<X509_EXTENSION, X509_EXTENSION_free>;
using BigNum = Owned<BIGNUM, BN_free>;

// The reason OpenSSL gives for what just failed, and its error queue emptied.
QString openSslError(const char *what)
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return QString::fromLatin1(what);
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return QStringLiteral("%1: %2").arg(QLatin1StringView(what), QLatin1StringView(text));
}

bool readPemFile(const QString &path, QByteArray &data, QString &error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    data = file.read(MaxPemFileSize + 1);
    if (file.error() != QFileDevice::NoError) {
        error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    if (data.size() > MaxPemFileSize) {
        error = QStringLiteral("%1 is larger than %2 bytes: not a PEM file")
                    .arg(path)
                    .arg(MaxPemFileSize);
        return false;
    }
    return true;
}

// Qt reads a key only when told its algorithm; these are the ones a server key has.
QSslKey privateKeyFromPem(const QByteArray &pem)
{
    for (const QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec}) {
        const QSslKey key(pem, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!key.isNull())
            return key;
    }
    return {};
}

// Qt has no call that tells whether a key belongs to a certificate; without this check a
// mismatched pair would only show as every handshake failing.
bool keyFitsCertificate(const QByteArray &certPem, const QByteArray &keyPem)
{
    const Bio certBio(BIO_new_mem_buf(certPem.constData(), int(certPem.size())));
    const Bio keyBio(BIO_new_mem_buf(keyPem.constData(), int(keyPem.size())));
    const Cert cert(certBio ? PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr)
                            : nullptr);
    const Key key(keyBio ? PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr)
                         : nullptr);
    const bool fits = cert && key && X509_check_private_key(cert.get(), key.get()) == 1;
    ERR_clear_error();
    return fits;
}

QSslConfiguration serverConfiguration(const QList<QSslCertificate> &chain, const QSslKey &key)
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    configuration.setLocalCertificateChain(chain);
    configuration.setPrivateKey(key);
    // Clients are anyone who may chat; the relay asks none of them for a certificate.
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    return configuration;
}

bool addExtension(X509 *cert, int nid, const QByteArray &value)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
    const Extension extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value.constData()));
    return extension && X509_add_ext(cert, extension.get(), -1) == 1;
}

// "DNS:name,IP:address,...": names that are no host name, which could not be written in this
// list anyway, are left out.
QByteArray subjectAltName(const QStringList &names, const QList<QHostAddress> &addresses)
{
    QByteArrayList entries;
    for (const QString &name : names) {
        const bool hostName = !name.isEmpty() && std::all_of(name.begin(), name.end(), [](QChar c) {
            return c.isLetterOrNumber() && c.unicode() < 128 || c == u'.' || c == u'-';
        });
        if (hostName)
            entries << "DNS:" + name.toLatin1();
    }
    for (QHostAddress address : addresses) {
        address.setScopeId(QString());
        if (!address.isNull())
            entries << "IP:" + address.toString().toLatin1();
    }
    return entries.join(',');
}
} // namespace

namespace TlsCredentials {

bool load(const QString &certFile, const QString &keyFile, QSslConfiguration &configuration,
          QString &error)
{
    QByteArray certPem;
    QByteArray keyPem;
    if (!readPemFile(certFile, certPem, error) || !readPemFile(keyFile, keyPem, error))
        return false;
    const QList<QSslCertificate> chain = QSslCertificate::fromData(certPem, QSsl::Pem);
    if (chain.isEmpty()) {
        error = QStringLiteral("%1 holds no PEM certificate").arg(certFile);
        return false;
    }
    const QSslKey key = privateKeyFromPem(keyPem);
    if (key.isNull()) {
        error = QStringLiteral("%1 holds no unencrypted RSA or EC private key in PEM").arg(keyFile);
        return false;
    }
    if (!keyFitsCertificate(certPem, keyPem)) {
        error = QStringLiteral("the key in %1 does not belong to the certificate in %2")
                    .arg(keyFile, certFile);
        return false;
    }
    configuration = serverConfiguration(chain, key);
    return true;
}

bool generate(const QStringList &names, const QList<QHostAddress> &addresses,
              QSslConfiguration &configuration, QString &error)
{
    const Key key(EVP_EC_gen("P-256"));
    const Cert cert(X509_new());
    if (!key || !cert) {
        error = openSslError("cannot make an EC P-256 key");
        return false;
    }
    unsigned char serial[16];
    if (RAND_bytes(serial, sizeof serial) != 1) {
        error = openSslError("cannot draw a serial number");
        return false;
    }
    serial[0] &= 0x7f; // a positive number
    const BigNum serialNumber(BN_bin2bn(serial, sizeof serial, nullptr));
    const QByteArray commonName = names.value(0, QStringLiteral("kestrel-relay")).toUtf8();
    X509_NAME *subject = X509_get_subject_name(cert.get());
    const bool made =
        X509_set_version(cert.get(), 2) == 1 && serialNumber &&
        BN_to_ASN1_INTEGER(serialNumber.get(), X509_get_serialNumber(cert.get())) &&
        X509_gmtime_adj(X509_getm_notBefore(cert.get()), -BackdateSeconds) &&
        X509_gmtime_adj(X509_getm_notAfter(cert.get()), long(GeneratedValidityDays) * 86400) &&
        X509_set_pubkey(cert.get(), key.get()) == 1 &&
        X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char *>(commonName.constData()),
                                   -1, -1, 0) == 1 &&
        X509_set_issuer_name(cert.get(), subject) == 1 &&
        addExtension(cert.get(), NID_basic_constraints, "critical,CA:FALSE") &&
        addExtension(cert.get(), NID_key_usage, "critical,digitalSignature") &&
        addExtension(cert.get(), NID_ext_key_usage, "serverAuth") &&
        addExtension(cert.get(), NID_subject_key_identifier, "hash") &&
        (subjectAltName(names, addresses).isEmpty() ||
         addExtension(cert.get(), NID_subject_alt_name, subjectAltName(names, addresses))) &&
        X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;
    if (!made) {
        error = openSslError("cannot make a certificate");
        return false;
    }

    const Bio certBio(BIO_new(BIO_s_mem()));
    const Bio keyBio(BIO_new(BIO_s_mem()));
    if (!certBio || !keyBio || PEM_write_bio_X509(certBio.get(), cert.get()) != 1 ||
        PEM_write_bio_PrivateKey(keyBio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
            1) {
        error = openSslError("cannot write the certificate made");
        return false;
    }
    char *data = nullptr;
    const long certSize = BIO_get_mem_data(certBio.get(), &data);
    const QByteArray certPem(data, certSize);
    const long keySize = BIO_get_mem_data(keyBio.get(), &data);
    const QByteArray keyPem(data, keySize);
    const QSslCertificate certificate(certPem, QSsl::Pem);
    const QSslKey sslKey(keyPem, QSsl::Ec, QSsl::Pem, QSsl::PrivateKey);
    if (certificate.isNull() || sslKey.isNull()) {
        error = QStringLiteral("the TLS backend does not take the certificate made");
        return false;
    }
    configuration = serverConfiguration({certificate}, sslKey);
    return true;
}

QString fingerprintText(const QSslCertificate &certificate)
{
    return QStringLiteral("sha256 Fingerprint=") +
           QString::fromLatin1(certificate.digest(QCryptographicHash::Sha256).toHex(':').toUpper());
}

bool setUp(const QString &certFile, const QString &keyFile, const QList<QHostAddress> &listened,
           QSslConfiguration &configuration, QString &message)
{
    if (!QSslSocket::supportsSsl()) {
        message = QStringLiteral("TLS is not available: Qt finds no TLS backend (OpenSSL 3)");
        return false;
    }
    if (!certFile.isEmpty())
        return reload(certFile, keyFile, configuration, message);
    QList<QHostAddress> addresses;
    for (const QHostAddress &address : listened) {
        const bool any = address == QHostAddress::Any || address == QHostAddress::AnyIPv4 ||
                         address == QHostAddress::AnyIPv6;
        for (const QHostAddress &one : any ? QNetworkInterface::allAddresses() : QList{address}) {
            if (!addresses.contains(one))
                addresses += one;
        }
    }
    if (!generate({QHostInfo::localHostName()}, addresses, configuration, message)) {
        message = QStringLiteral("cannot make a TLS certificate: ") + message;
        return false;
    }
    message = QStringLiteral("TLS certificate made for this run, valid %1 days: %2")
                  .arg(GeneratedValidityDays)
                  .arg(fingerprintText(configuration.localCertificate()));
    return true;
}

bool reload(const QString &certFile, const QString &keyFile, QSslConfiguration &configuration,
            QString &message)
{
    if (!load(certFile, keyFile, configuration, message)) {
        message = QStringLiteral("TLS certificate not read: ") + message;
        return false;
    }
    const QSslCertificate certificate = configuration.localCertificate();
    message = QStringLiteral("TLS certificate read from %1 (%2, valid until %3): %4")
                  .arg(certFile, certificate.subjectDisplayName(),
                       certificate.expiryDate().toUTC().toString(Qt::ISODate),
                       fingerprintText(certificate));
    return true;
}

} // namespace TlsCredentials
