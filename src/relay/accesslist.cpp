#include "accesslist.h"

#include <QFile>

#include <algorithm>

namespace {
// Longer than any address with its prefix; a longer line is no rule, and reading stops there
// (a file of one endless line cannot fill our memory).
constexpr qint64 MaxLineLength = 256;

bool parseIPv4(QStringView text, quint32 &address)
{
    const QList<QStringView> parts = text.split(u'.');
    if (parts.size() != 4)
        return false;
    address = 0;
    for (QStringView part : parts) {
        if (part.isEmpty() || part.size() > 3 || (part.size() > 1 && part[0] == u'0'))
            return false;
        uint value = 0;
        for (QChar c : part) {
            if (c < u'0' || c > u'9')
                return false;
            value = value * 10 + uint(c.unicode() - u'0');
        }
        if (value > 255)
            return false;
        address = address << 8 | value;
    }
    return true;
}

// text fit for one event line: control characters (a binary file's) shown as '?'.
QString printable(QString text)
{
    for (QChar &c : text) {
        if (c.category() == QChar::Other_Control)
            c = u'?';
    }
    return text;
}
} // namespace

void AccessList::Table::add(const Key &network, int length)
{
    networks[size_t(length)].insert(network);
    if (std::find(lengths.begin(), lengths.end(), length) == lengths.end()) {
        lengths.push_back(length);
        // Longest first, so the block named for a denial is the narrowest that matched.
        std::sort(lengths.begin(), lengths.end(), std::greater<int>());
    }
}

namespace {
// key with its n lowest bits cleared (n from 0 to 128).
template <typename Key> Key clearLow(Key key, int n)
{
    if (n >= 64) {
        key.low = 0;
        n -= 64;
        if (n >= 64)
            key.high = 0;
        else if (n > 0)
            key.high &= ~0ULL << n;
    } else if (n > 0) {
        key.low &= ~0ULL << n;
    }
    return key;
}
} // namespace

AccessList::Key AccessList::key6(const QHostAddress &address)
{
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    Key key;
    for (int i = 0; i < 8; ++i) {
        key.high = key.high << 8 | bytes[i];
        key.low = key.low << 8 | bytes[i + 8];
    }
    return key;
}

int AccessList::Table::find(const Key &address, int bits) const
{
    for (int length : lengths) {
        if (networks[size_t(length)].contains(clearLow(address, bits - length)))
            return length;
    }
    return -1;
}

bool AccessList::parseBlock(QStringView text, QHostAddress &network, int &prefixLength,
                            QString &why)
{
    const qsizetype slash = text.indexOf(u'/');
    const QStringView address = slash < 0 ? text : text.left(slash);
    const bool v6 = address.contains(u':');
    const int bits = v6 ? 128 : 32;
    if (v6) {
        // A scope (fe80::1%eth0) names an interface, which a peer's address never carries.
        if (address.contains(u'%') || !network.setAddress(address.toString()) ||
            network.protocol() != QAbstractSocket::IPv6Protocol) {
            why = QStringLiteral("not an IPv6 address");
            return false;
        }
    } else {
        quint32 v4 = 0;
        if (!parseIPv4(address, v4)) {
            why = QStringLiteral("not an IPv4 address (a.b.c.d in decimal) or IPv6 address");
            return false;
        }
        network.setAddress(v4);
    }
    prefixLength = bits;
    if (slash >= 0) {
        bool ok = false;
        const QStringView length = text.mid(slash + 1);
        prefixLength = length.toInt(&ok);
        if (!ok || length.startsWith(u'+') || length.startsWith(u'-') || prefixLength < 0 ||
            prefixLength > bits) {
            why = QStringLiteral("prefix length is not a number from 0 to %1").arg(bits);
            return false;
        }
    }
    return true;
}

bool AccessList::addBlock(bool allow, QStringView text, QString &why)
{
    QHostAddress network;
    int length = 0;
    if (!parseBlock(text, network, length, why))
        return false;
    bool isV4 = false; // also for an IPv4-mapped IPv6 address
    const quint32 v4 = network.toIPv4Address(&isV4);
    Key key;
    if (network.protocol() == QAbstractSocket::IPv6Protocol && isV4 && length >= 96) {
        length -= 96;
        network.setAddress(v4);
    }
    if (network.protocol() == QAbstractSocket::IPv4Protocol) {
        key.low = v4;
        (allow ? m_allow4 : m_deny4).add(clearLow(key, 32 - length), length);
    } else {
        (allow ? m_allow6 : m_deny6).add(clearLow(key6(network), 128 - length), length);
    }
    ++(allow ? m_allowCount : m_denyCount);
    return true;
}

bool AccessList::addFile(bool allow, const QString &path, QString &error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    for (int number = 1;; ++number) {
        const QByteArray raw = file.readLine(MaxLineLength + 2);
        if (raw.isEmpty()) {
            if (!file.atEnd() || file.error() != QFileDevice::NoError) {
                error = QStringLiteral("%1: %2").arg(path, file.errorString());
                return false;
            }
            return true;
        }
        QString line = QString::fromUtf8(raw);
        if (raw.size() > MaxLineLength && !raw.endsWith('\n')) {
            error = QStringLiteral("%1:%2: '%3...': line too long")
                        .arg(path)
                        .arg(number)
                        .arg(printable(line.left(40)));
            return false;
        }
        const qsizetype hash = line.indexOf(u'#');
        if (hash >= 0)
            line.truncate(hash);
        line = line.trimmed();
        QString why;
        if (!line.isEmpty() && !addBlock(allow, line, why)) {
            error =
                QStringLiteral("%1:%2: '%3': %4").arg(path).arg(number).arg(printable(line), why);
            return false;
        }
    }
}

bool AccessList::build(const AccessSources &sources, AccessList &list, QString &error)
{
    AccessList built;
    QString why;
    for (const QString &rule : sources.allow) {
        if (!built.addBlock(true, rule, why)) {
            error = QStringLiteral("--allow '%1': %2").arg(rule, why);
            return false;
        }
    }
    for (const QString &rule : sources.deny) {
        if (!built.addBlock(false, rule, why)) {
            error = QStringLiteral("--deny '%1': %2").arg(rule, why);
            return false;
        }
    }
    for (const QString &path : sources.allowFiles) {
        if (!built.addFile(true, path, error))
            return false;
    }
    for (const QString &path : sources.denyFiles) {
        if (!built.addFile(false, path, error))
            return false;
    }
    list = std::move(built);
    return true;
}

bool AccessList::admits(const QHostAddress &peer, QString *why) const
{
    if (isEmpty())
        return true;
    bool isV4 = false; // also for an IPv4-mapped IPv6 address
    const quint32 v4 = peer.toIPv4Address(&isV4);
    Key key;
    if (isV4)
        key.low = v4;
    else
        key = key6(peer);
    const int bits = isV4 ? 32 : 128;
    const int denied = (isV4 ? m_deny4 : m_deny6).find(key, bits);
    if (denied >= 0) {
        if (why) {
            const Key network = clearLow(key, bits - denied);
            QHostAddress address;
            if (isV4) {
                address.setAddress(quint32(network.low));
            } else {
                Q_IPV6ADDR bytes;
                for (int i = 0; i < 8; ++i) {
                    bytes[7 - i] = quint8(network.high >> (8 * i));
                    bytes[15 - i] = quint8(network.low >> (8 * i));
                }
                address.setAddress(bytes);
            }
            *why = QStringLiteral("denied by %1/%2").arg(address.toString()).arg(denied);
        }
        return false;
    }
    if (m_allowCount == 0 || (isV4 ? m_allow4 : m_allow6).find(key, bits) >= 0)
        return true;
    if (why)
        *why = QStringLiteral("not allowed");
    return false;
}
