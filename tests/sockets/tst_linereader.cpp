#include "linereader.h"

#include <QTest>

// The receive framing of every TCP connection: what comes out must not depend on how the
// stream was cut into reads, and no piece may pass the cap.
class TestLineReader final : public QObject
{
    Q_OBJECT

private slots:
    void framing_data();
    void framing();
    void capCrossedByTheReadWithTheLineEnd();
    void longPieceKeepsCharactersWhole();
};

void TestLineReader::framing_data()
{
    QTest::addColumn<QByteArrayList>("reads");
    QTest::addColumn<QStringList>("pieces"); // "|" marks a piece handed out after a quiet time

    QByteArrayList dribbled;
    for (char c : QByteArray("hé\r\n"))
        dribbled << QByteArray(1, c);
    QTest::newRow("dribbled") << dribbled << QStringList{"hé\r\n"};
    QTest::newRow("two lines, one read")
        << QByteArrayList{"a\nb\r\n"} << QStringList{"a\n", "b\r\n"};
    QTest::newRow("character split") << QByteArrayList{"\xe6\x97", "\xa5\n"} << QStringList{"日\n"};
    QTest::newRow("invalid byte inside") << QByteArrayList{"a\xff"
                                                           "b\n"}
                                         << QStringList{"a\uFFFDb\n"};
    QTest::newRow("invalid lead at read end")
        << QByteArrayList{"a\xe6", "b\n"} << QStringList{"a\uFFFDb\n"};
    QTest::newRow("invalid lead ends a quiet piece")
        << QByteArrayList{"a\xc3\xff", "|", "xyz\n"} << QStringList{"a\uFFFD\uFFFD", "xyz\n"};
    QTest::newRow("quiet piece, then the rest")
        << QByteArrayList{"ab", "|", "c\n"} << QStringList{"ab", "c\n"};
    QTest::newRow("character waits across quiet time")
        << QByteArrayList{"a\xe6\x97", "|", "\xa5\n"} << QStringList{"a", "日\n"};
    QTest::newRow("byte order mark kept")
        << QByteArrayList{"\xef\xbb\xbfx\n"} << QStringList{QChar(0xFEFF) + QStringLiteral("x\n")};
    QTest::newRow("end of stream mid-character")
        << QByteArrayList{"ok\nz\xe6", "#"} << QStringList{"ok\n", "z\uFFFD"};
}

void TestLineReader::framing()
{
    QFETCH(QByteArrayList, reads);
    QStringList got;
    LineReader reader;
    LineReader::Piece piece;
    for (const QByteArray &read : reads) {
        if (read == "|" && reader.takeRest(piece))
            got << piece.text;
        else if (read == "#" && reader.takeFinal(piece))
            got << piece.text;
        else if (read != "|" && read != "#")
            reader.append(read);
        while (reader.takeLine(piece)) {
            got << piece.text;
            // Bytes are handed on only where they are exactly the text's UTF-8.
            QVERIFY(piece.bytes.isEmpty() || piece.bytes == piece.text.toUtf8());
        }
    }
    QTEST(got, "pieces");
}

// A line end arrives in the read that takes the buffer past the cap: the line is handed out in
// capped pieces like any other long piece.
void TestLineReader::capCrossedByTheReadWithTheLineEnd()
{
    const QByteArray stream =
        QByteArray(LineReader::MaxPiece - 10, 'x') + "yyyyyyyyyyyyyyyyyyyy\nz";
    LineReader reader;
    LineReader::Piece piece;
    QByteArray out;
    reader.append(stream.first(LineReader::MaxPiece - 10));
    QVERIFY(!reader.takeLine(piece));
    reader.append(stream.sliced(LineReader::MaxPiece - 10));
    while (reader.takeLine(piece)) {
        QVERIFY2(piece.text.size() <= LineReader::MaxPiece,
                 qPrintable(QString::number(piece.text.size())));
        out += piece.text.toLatin1();
    }
    QVERIFY(reader.takeRest(piece));
    QCOMPARE(out + piece.text.toLatin1(), stream);
}

// 2 MiB of three-byte characters in 64 KiB reads: capped pieces, none breaks a character, and
// the buffer never holds more than the cap once what can go out has gone.
void TestLineReader::longPieceKeepsCharactersWhole()
{
    const QString text = QStringLiteral("日").repeated(700000);
    const QByteArray bytes = text.toUtf8();
    LineReader reader;
    LineReader::Piece piece;
    QString out;
    for (qsizetype at = 0; at < bytes.size(); at += 65536) {
        reader.append(bytes.mid(at, 65536));
        while (reader.takeLine(piece)) {
            QVERIFY(piece.bytes.size() <= LineReader::MaxPiece && !piece.text.contains(u'\uFFFD'));
            out += piece.text;
        }
        QVERIFY(reader.buffered() <= LineReader::MaxPiece);
    }
    QVERIFY(reader.takeRest(piece));
    QVERIFY(out + piece.text == text);
}

QTEST_APPLESS_MAIN(TestLineReader)
#include "tst_linereader.moc"
