#include "commandline.h"
#include "dispatch.h"

#include <QTest>

class TestCommandLine final : public QObject
{
    Q_OBJECT

private slots:
    void splitAt_data();
    void splitAt();
    void split_data();
    void split();
    void splitResetsTheList();
    void splitAlwaysTerminates();
    void argumentTextRoundTrips_data();
    void argumentTextRoundTrips();
    void dispatch_data();
    void dispatch();
    void helpText();
};

void TestCommandLine::splitAt_data()
{
    QTest::addColumn<QString>("remaining");
    QTest::addColumn<int>("p");
    QTest::addColumn<QString>("head");
    QTest::addColumn<QString>("rest");

    QTest::newRow("inside") << "abc def" << 4 << "abc "
                            << "def";
    QTest::newRow("one before the end") << "abcd" << 3 << "abc"
                                        << "d";
    QTest::newRow("at the length") << "abcd" << 4 << "abcd"
                                   << "";
    QTest::newRow("past the length") << "abcd" << 9 << "abcd"
                                     << "";
    QTest::newRow("empty") << "" << 1 << ""
                           << "";
}

void TestCommandLine::splitAt()
{
    QFETCH(QString, remaining);
    QFETCH(int, p);
    QString head = QStringLiteral("old");
    CommandLine::SplitAt(remaining, head, p);
    QTEST(head, "head");
    QTEST(remaining, "rest");
}

void TestCommandLine::split_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("tokens");

    QTest::newRow("empty") << "" << QStringList{};
    QTest::newRow("one key") << "/s" << QStringList{"/s"};
    QTest::newRow("trailing blank gives no token") << "/s " << QStringList{"/s"};
    QTest::newRow("more tokens") << "/s anything else" << QStringList{"/s", "anything", "else"};
    QTest::newRow("leading blank") << " /s" << QStringList{"", "/s"};
    QTest::newRow("two blanks") << "/s  x" << QStringList{"/s", "", "x"};
    QTest::newRow("run of blanks at the end") << "a   " << QStringList{"a", "", ""};
    QTest::newRow("tabs are ordinary") << "a\tb c" << QStringList{"a\tb", "c"};
    QTest::newRow("quoted first") << "\"a b\" c" << QStringList{"a b", "c"};
    QTest::newRow("quoted last") << "x \"a b\"" << QStringList{"x", "a b"};
    QTest::newRow("quote runs on to the blank") << "\"a b\"x y" << QStringList{"a b\"", "y"};
    QTest::newRow("quote inside a token") << "ab\"c d" << QStringList{"ab\"c", "d"};
    QTest::newRow("empty quoted token") << "\"\" x" << QStringList{"", "x"};
    QTest::newRow("unclosed quote as the last token") << "\"abc" << QStringList{"ab"};
    // No partner for the opening quote: it hides nothing, the token ends at the first blank
    // and still loses its first and last character.
    QTest::newRow("unclosed quote before more text") << "\"abc def" << QStringList{"ab", "def"};
    QTest::newRow("lone quote last") << "x \"" << QStringList{"x", ""};
    QTest::newRow("lone quote only") << "\"" << QStringList{""};
    QTest::newRow("quoted with no blank after partner") << "\"a b\"c" << QStringList{"a b\""};
    QTest::newRow("japanese") << "/S 日本 語" << QStringList{"/S", "日本", "語"};
}

void TestCommandLine::split()
{
    QFETCH(QString, text);
    QFETCH(QStringList, tokens);
    QStringList list;
    const qint32 n = CommandLine::SplitCommandLine(list, text);
    QCOMPARE(list, tokens);
    QCOMPARE(n, tokens.size());
}

void TestCommandLine::splitResetsTheList()
{
    QStringList list{"stale", "tokens"};
    QCOMPARE(CommandLine::SplitCommandLine(list, QString()), 0);
    QVERIFY(list.isEmpty());

    CommandLine::setArgumentText(QStringLiteral("/c x"));
    QCOMPARE(CommandLine::SplitCommandLine(list), 2);
    QCOMPARE(list, (QStringList{"/c", "x"}));
    CommandLine::setArgumentText(QString());
}

void TestCommandLine::splitAlwaysTerminates()
{
    // Every mix of blanks, quotes and letters up to length 7 splits into a bounded list whose
    // tokens are made only of characters of the text.
    const QString alphabet = QStringLiteral(" \"a");
    for (int length = 0; length <= 7; ++length) {
        int combinations = 1;
        for (int i = 0; i < length; ++i)
            combinations *= alphabet.size();
        for (int code = 0; code < combinations; ++code) {
            QString text;
            for (int i = 0, c = code; i < length; ++i, c /= alphabet.size())
                text.append(alphabet.at(c % alphabet.size()));
            QStringList list;
            const qint32 n = CommandLine::SplitCommandLine(list, text);
            QVERIFY2(n == list.size() && n <= length, qPrintable(text));
            for (const QString &token : list)
                QVERIFY2(token.size() <= length, qPrintable(text));
        }
    }
}

void TestCommandLine::argumentTextRoundTrips_data()
{
    QTest::addColumn<QStringList>("arguments");

    QTest::newRow("none") << QStringList{};
    QTest::newRow("plain") << QStringList{"/s", "x"};
    QTest::newRow("blank inside") << QStringList{"/s", "a b", "c"};
    QTest::newRow("blank inside, last") << QStringList{"a b"};
    QTest::newRow("empty argument") << QStringList{"", "/s"};
    QTest::newRow("empty last") << QStringList{"/s", ""};
    QTest::newRow("opening quote") << QStringList{"\"abc", "d"};
    QTest::newRow("quote and blank") << QStringList{"a \"b", "c"};
}

void TestCommandLine::argumentTextRoundTrips()
{
    QFETCH(QStringList, arguments);
    QStringList list;
    CommandLine::SplitCommandLine(list, CommandLine::argumentText(arguments));
    QCOMPARE(list, arguments);
}

void TestCommandLine::dispatch_data()
{
    using ModuleMain::Mode;
    QTest::addColumn<QStringList>("tokens");
    QTest::addColumn<int>("mode");

    QTest::newRow("no tokens") << QStringList{} << int(Mode::Chooser);
    QTest::newRow("/s") << QStringList{"/s"} << int(Mode::Server);
    QTest::newRow("/S") << QStringList{"/S"} << int(Mode::Server);
    QTest::newRow("/s with more") << QStringList{"/s", "anything"} << int(Mode::Server);
    QTest::newRow("/c") << QStringList{"/c"} << int(Mode::Client);
    QTest::newRow("/C") << QStringList{"/C"} << int(Mode::Client);
    QTest::newRow("/u") << QStringList{"/u"} << int(Mode::Udp);
    QTest::newRow("/U") << QStringList{"/U"} << int(Mode::Udp);
    QTest::newRow("/?") << QStringList{"/?"} << int(Mode::Help);
    QTest::newRow("/x") << QStringList{"/x"} << int(Mode::Nothing);
    QTest::newRow("-s") << QStringList{"-s"} << int(Mode::Nothing);
    QTest::newRow("/server") << QStringList{"/server"} << int(Mode::Nothing);
    QTest::newRow("s") << QStringList{"s"} << int(Mode::Nothing);
    QTest::newRow("empty first") << QStringList{"", "/s"} << int(Mode::Nothing);
    QTest::newRow("no trimming") << QStringList{"/s\t"} << int(Mode::Nothing);
}

void TestCommandLine::dispatch()
{
    QFETCH(QStringList, tokens);
    QFETCH(int, mode);
    QCOMPARE(int(ModuleMain::modeFor(tokens)), mode);
}

void TestCommandLine::helpText()
{
    QCOMPARE(ModuleMain::helpText(), QStringLiteral("Exe Command Lines\r\n\r\n"
                                                    "[/s] = Auto Server Mode Command\r\n"
                                                    "[/c] = Auto Client Mode Command\r\n"
                                                    "[/?] = This Message Box"));
}

QTEST_APPLESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
