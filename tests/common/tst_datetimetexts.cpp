#include "datetimetexts.h"

#include <QTest>

class TestDateTimeTexts final : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { DateTimeTexts::setClockForTesting({}); }
    void texts_data();
    void texts();
    void clockIsReadOnce();
    void systemClockWhenNotFixed();
};

void TestDateTimeTexts::texts_data()
{
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QDateTime>("moment");
    QTest::addColumn<QString>("date");
    QTest::addColumn<QString>("time");

    const QDateTime morning(QDate(2000, 6, 12), QTime(9, 5, 7));
    QTest::newRow("japanese") << QLocale(QLocale::Japanese, QLocale::Japan) << morning
                              << "2000/06/12"
                              << "9:05:07";
    QTest::newRow("english, no time zone")
        << QLocale(QLocale::English, QLocale::UnitedStates) << morning << "6/12/00"
        << "9:05:07\u202fAM";
    QTest::newRow("german") << QLocale(QLocale::German, QLocale::Germany)
                            << QDateTime(QDate(2026, 12, 6), QTime(23, 59, 59)) << "06.12.26"
                            << "23:59:59";
}

void TestDateTimeTexts::texts()
{
    QFETCH(QLocale, locale);
    QFETCH(QDateTime, moment);
    QFETCH(QString, date);
    QFETCH(QString, time);

    // Compare without depending on which space a locale puts before AM/PM.
    auto normalised = [](QString s) {
        return s.replace(u'\u202f', u' ');
    };
    DateTimeTexts::setClockForTesting([moment] { return moment; }, locale);
    const DateTimeTexts::Stamp stamp = DateTimeTexts::now();
    QCOMPARE(stamp.date, date);
    QCOMPARE(normalised(stamp.time), normalised(time));
    QCOMPARE(normalised(DateTimeTexts::dateSlashTime()), normalised(date + u'/' + time));
}

void TestDateTimeTexts::clockIsReadOnce()
{
    int reads = 0;
    DateTimeTexts::setClockForTesting(
        [&reads] {
            ++reads;
            return QDateTime(QDate(2000, 1, 1), QTime(0, 0, 0));
        },
        QLocale(QLocale::Japanese, QLocale::Japan));
    QCOMPARE(DateTimeTexts::dateSlashTime(), QStringLiteral("2000/01/01/0:00:00"));
    QCOMPARE(reads, 1);
}

void TestDateTimeTexts::systemClockWhenNotFixed()
{
    const QDate before = QDate::currentDate();
    const DateTimeTexts::Stamp stamp = DateTimeTexts::now();
    const QDate after = QDate::currentDate();
    QVERIFY(stamp.date == DateTimeTexts::dateText(before, QLocale::system()) ||
            stamp.date == DateTimeTexts::dateText(after, QLocale::system()));
    QVERIFY(!stamp.time.isEmpty());
}

QTEST_APPLESS_MAIN(TestDateTimeTexts)
#include "tst_datetimetexts.moc"
