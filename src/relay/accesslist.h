#pragma once

#include <QHostAddress>
#include <QString>
#include <QStringList>

#include <array>
#include <unordered_set>
#include <vector>

// Where the rules of who may connect come from: --allow and --deny blocks as given, and the
// files of --allow-file and --deny-file (read again on SIGHUP).
struct AccessSources
{
    QStringList allow;
    QStringList deny;
    QStringList allowFiles;
    QStringList denyFiles;
};

// Who may connect, as CIDR blocks of IPv4 and IPv6 addresses: a denied peer never gets in,
// and once there is any allow rule only allowed peers do. An IPv4 peer on a dual-stack socket
// (::ffff:a.b.c.d) is the IPv4 peer it is, and an IPv4-mapped block (::ffff:a.b.c.d/n with n
// at least 96) the IPv4 block; other IPv6 blocks, ::/0 included, hold IPv6 peers only.
// Checking a peer costs one hash look-up per distinct prefix length, however many rules.
class AccessList
{
public:
    // A block as written: "a.b.c.d", "a.b.c.d/n", "x:y::z", "x:y::z/n". IPv4 is four decimal
    // numbers (no octal or short forms, whose meaning surprises); bits past the prefix are
    // ignored. False with the reason in why.
    static bool parseBlock(QStringView text, QHostAddress &network, int &prefixLength,
                           QString &why);
    // The list of sources, files read now. False, with one line in error naming the rule (or
    // file and line) at fault, when a rule is bad or a file cannot be read; list is then left
    // as it was.
    static bool build(const AccessSources &sources, AccessList &list, QString &error);

    bool isEmpty() const { return m_allowCount == 0 && m_denyCount == 0; }
    // True when peer may connect; otherwise why says so ("denied by 10.0.0.0/8", "not
    // allowed").
    bool admits(const QHostAddress &peer, QString *why = nullptr) const;

private:
    struct Key
    {
        quint64 high = 0;
        quint64 low = 0;
        bool operator==(const Key &) const = default;
    };
    struct KeyHash
    {
        size_t operator()(const Key &key) const
        {
            return std::hash<quint64>()(key.high * 0x9e3779b97f4a7c15ULL ^ key.low);
        }
    };
    // The blocks of one kind (allow or deny) and one family: per prefix length the networks
    // with that length, and the lengths in use.
    struct Table
    {
        std::array<std::unordered_set<Key, KeyHash>, 129> networks;
        std::vector<int> lengths;
        void add(const Key &network, int length);
        int find(const Key &address, int bits) const; // matching prefix length, or -1
    };

    static Key key6(const QHostAddress &address);
    bool addBlock(bool allow, QStringView text, QString &why);
    bool addFile(bool allow, const QString &path, QString &error);

    Table m_allow4, m_allow6, m_deny4, m_deny6;
    qsizetype m_allowCount = 0;
    qsizetype m_denyCount = 0;
};
