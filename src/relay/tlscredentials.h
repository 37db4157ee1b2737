#pragma once

#include <QHostAddress>
#include <QList>
#include <QSslConfiguration>
#include <QString>
#include <QStringList>

// The certificate and key the relay's TLS listeners present: read from PEM files, or made
// for this run when none are given. Each call either succeeds whole or leaves configuration
// as it was, so a failed reload keeps the pair that is being served.
namespace TlsCredentials {
// Days a certificate made at start stays valid: long enough for a week of uptime, short
// enough that a pinned one is not trusted for long after the relay is gone.
constexpr int GeneratedValidityDays = 7;

// The server side of TLS 1.2 or later with the certificate (and the chain after it in
// certFile) and the key in keyFile (RSA or EC, unencrypted). False with error set when a
// file cannot be read or the two do not belong together.
bool load(const QString &certFile, const QString &keyFile, QSslConfiguration &configuration,
          QString &error);
// As load(), with a fresh self-signed certificate on a new EC P-256 key, for names (the
// first becomes the subject) and addresses in its subjectAltName.
bool generate(const QStringList &names, const QList<QHostAddress> &addresses,
              QSslConfiguration &configuration, QString &error);
// "sha256 Fingerprint=AB:CD:...", as openssl x509 -noout -fingerprint -sha256 writes it.
QString fingerprintText(const QSslCertificate &certificate);
// What the relay's TLS ports present: load() of the files when given, else generate() for
// this host and the addresses listened on (every interface's for an "any" address). message
// is then the event line naming the certificate, with its fingerprint, or else why it failed.
bool setUp(const QString &certFile, const QString &keyFile, const QList<QHostAddress> &listened,
           QSslConfiguration &configuration, QString &message);
// load() again, for SIGHUP; message is the event line either way.
bool reload(const QString &certFile, const QString &keyFile, QSslConfiguration &configuration,
            QString &message);
} // namespace TlsCredentials
