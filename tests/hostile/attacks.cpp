#include "attacks.h"

#include "linereader.h"

#include <QRandomGenerator>
#include <QTest>

namespace Hostile {

namespace {

constexpr qsizetype MiB = 1024 * 1024;

// Byte sequences no UTF-8 decoder may take as text: stray continuation bytes, leads cut off by
// a line feed or by another lead, overlong forms, encoded surrogates, code points past
// U+10FFFF, bytes that never occur in UTF-8.
const char *const kInvalid[] = {
    "\x80",
    "\xbf",
    "\xc2",
    "\xc2\n",
    "\xe3\x81",
    "\xe3\x81\n",
    "\xf0\x9f\x98",
    "\xc0\xaf",
    "\xc1\xbf",
    "\xe0\x80\xaf",
    "\xed\xa0\x80",
    "\xed\xbf\xbf",
    "\xf4\x90\x80\x80",
    "\xf5\x80",
    "\xf8\x88\x80\x80\x80",
    "\xfc\x84\x80\x80\x80\x80",
    "\xfe",
    "\xff",
    "\xef\xbf\xbe",
    "\xe3\xe3",
    "\xf0\xf0\xf0",
};

} // namespace

void addAttackRows()
{
    QTest::addColumn<AttackKind>("kind");
    QTest::newRow("random bytes") << AttackKind::RandomBytes;
    QTest::newRow("invalid UTF-8") << AttackKind::InvalidUtf8;
    QTest::newRow("NUL bytes") << AttackKind::NulBytes;
    QTest::newRow("50 MiB without a line end") << AttackKind::FiftyMiBWithoutLineEnd;
    QTest::newRow("100,000 tiny lines in one burst") << AttackKind::TinyLinesBurst;
    QTest::newRow("one byte every 50 ms") << AttackKind::Slowloris;
    QTest::newRow("invalid lead byte before a pause") << AttackKind::InvalidLeadBeforePause;
    QTest::newRow("line just over the piece cap") << AttackKind::LineJustOverCap;
}

Attack makeAttack(AttackKind kind)
{
    Attack attack;
    QByteArray &bytes = attack.payload;
    switch (kind) {
    case AttackKind::RandomBytes: {
        QRandomGenerator random(0x6b657374);
        bytes.resize(4 * MiB);
        random.fillRange(reinterpret_cast<quint32 *>(bytes.data()), bytes.size() / 4);
        break;
    }
    case AttackKind::InvalidUtf8: {
        QRandomGenerator random(0x75746638);
        const int count = int(std::size(kInvalid));
        while (bytes.size() < 2 * MiB) {
            bytes += kInvalid[random.bounded(count)];
            // Valid text between the garbage must come through untouched.
            if (random.bounded(4) == 0)
                bytes += "ok \xe6\x97\xa5";
            if (random.bounded(16) == 0)
                bytes += '\n';
        }
        break;
    }
    case AttackKind::NulBytes:
        while (bytes.size() < MiB) {
            bytes += QByteArray(4096, '\0');
            bytes += QByteArray("a\0b\0\r\n", 6);
            bytes += QByteArray("\0\n", 2);
        }
        break;
    case AttackKind::FiftyMiBWithoutLineEnd: {
        // Three-byte characters make the cap fall inside characters as well.
        const QByteArray pattern = "kestrel \xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e ";
        bytes = pattern.repeated(50 * MiB / pattern.size() + 1).first(50 * MiB);
        attack.timeoutMs = 120000;
        break;
    }
    case AttackKind::TinyLinesBurst:
        for (int i = 0; i < 100000; ++i)
            bytes += QByteArray::number(i) + '\n';
        attack.timeoutMs = 60000;
        break;
    case AttackKind::Slowloris:
        // Slower than the quiet interval: every byte is a piece of its own, and the halves of
        // a character still arrive as one.
        bytes = "slow \xe6\x97\xa5\xe6\x9c\xac \xff!\r\n";
        attack.writeSize = 1;
        attack.pauseMs = 50;
        break;
    case AttackKind::InvalidLeadBeforePause:
        bytes = "abc\xc2XYZ\n";
        attack.writeSize = 4;
        attack.pauseMs = 300;
        break;
    case AttackKind::LineJustOverCap:
        bytes = QByteArray(LineReader::MaxPiece + 1000, 'A') + '\n';
        break;
    }
    return attack;
}

} // namespace Hostile
