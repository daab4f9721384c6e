// The usage figures from real answer bodies: the month's total, the hourly
// average, the chart points, and the byte counts they are written with.

#include "api/JsonReader.h"
#include "usage/ByteCountFormatter.h"
#include "api/DeviceUsageModel.h"
#include "usage/UsageChartView.h"
#include "usage/UsageFigures.h"

#include <QTest>

#include <limits>

using namespace Qt::StringLiterals;

using namespace Orvex;

namespace {

const QDate december6(2026, 12, 6); // a 31-day month
const QDate november6(2026, 11, 6); // a 30-day month

QByteArray info(const QByteArray &monthlyUsage)
{
    return R"("info": {"Day": 6, "Month": "12", "Year": 2026, "Timezone": "0", "MonthlyUsage": )"
           + monthlyUsage + R"(, "device": "abc"})";
}

// An answer with the given info figure and optional members.
DeviceUsageModel decode(const QByteArray &members)
{
    const QByteArray body = R"({"device_usage": {)" + members + "}}";
    const auto model = DeviceUsageModel::decode(JsonReader::parseObject(body));
    if (!model)
        qFatal("answer does not decode: %s", body.constData());
    return *model;
}

QByteArray hours(int count, const QList<QByteArray> &totals)
{
    QByteArray list = "[";
    for (int i = 0; i < count; ++i) {
        if (i)
            list += ',';
        list += R"({"Hour": )" + QByteArray::number(i % 24)
                + R"(, "Day": 6, "Month": 12, "Year": "2026", "In": 1, "Out": 1.5, "Total": )"
                + totals[i % totals.size()] + '}';
    }
    return list + ']';
}

} // namespace

class tst_UsageFigures : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QLocale::setDefault(QLocale::c()); }

    void byteCounts_data();
    void byteCounts();

    void thisMonthReadsEveryKindOfNumber_data();
    void thisMonthReadsEveryKindOfNumber();
    void totalsBeyondTheIntegerRangeAreClamped();

    void hourlyAverageDividesByTwentyFour_data();
    void hourlyAverageDividesByTwentyFour();

    void chartPointsFromDailyRecords();
    void unparseableDatesDropOnlyTheirPoint();

    void chartLinePassesThroughEveryDayWithoutInventingTraffic();
};

void tst_UsageFigures::byteCounts_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QLocale>("locale");
    const auto row = [](const char *name, qint64 bytes, const char *text,
                        const QLocale &locale = QLocale::c()) {
        QTest::newRow(name) << bytes << QString::fromUtf8(text) << locale;
    };
    const QLocale german(QLocale::German, QLocale::Germany);
    row("zero", qint64(0), "0 bytes");
    row("one", qint64(1), "1 byte");
    row("below a kilobyte", qint64(999), "999 bytes");
    row("one kilobyte", qint64(1000), "1 KB");
    row("kilobytes have no decimals", qint64(12'345), "12 KB");
    row("kilobytes round", qint64(12'500), "13 KB");
    row("rounding up carries to megabytes", qint64(999'500), "1 MB");
    row("one decimal of megabytes", qint64(12'345'678), "12.3 MB");
    row("a whole megabyte count loses its .0", qint64(12'000'000), "12 MB");
    row("two decimals of gigabytes", qint64(1'234'567'890), "1.23 GB");
    row("trailing zero dropped", qint64(1'500'000'000), "1.5 GB");
    row("megabytes carry to gigabytes", qint64(999'960'000), "1 GB");
    row("largest count", std::numeric_limits<qint64>::max(), "9.22 EB");
    row("smallest count", std::numeric_limits<qint64>::min(), "-9.22 EB");
    row("negative", qint64(-2'500'000), "-2.5 MB");
    row("German decimal comma", 12'345'678, "12,3 MB", german);
    row("German terabytes", 1'234'567'890'000, "1,23 TB", german);
}

void tst_UsageFigures::byteCounts()
{
    QFETCH(qint64, bytes);
    QFETCH(QString, text);
    QFETCH(QLocale, locale);
    QCOMPARE(ByteCountFormatter::string(bytes, locale), text);
}

void tst_UsageFigures::thisMonthReadsEveryKindOfNumber_data()
{
    QTest::addColumn<QByteArray>("monthlyUsage");
    QTest::addColumn<QString>("text");
    QTest::newRow("integer") << QByteArray("12345678") << "12.3 MB";
    QTest::newRow("decimal digits as text") << QByteArray("\"12345678\"") << "12.3 MB";
    QTest::newRow("double, truncated") << QByteArray("12345678.9") << "12.3 MB";
    QTest::newRow("fraction of a byte") << QByteArray("1.99") << "1 byte";
    QTest::newRow("text with a unit counts as 0") << QByteArray("\"12 MB\"") << "0 bytes";
    QTest::newRow("text with a comma counts as 0") << QByteArray("\"1,5\"") << "0 bytes";
}

void tst_UsageFigures::thisMonthReadsEveryKindOfNumber()
{
    QFETCH(QByteArray, monthlyUsage);
    QFETCH(QString, text);
    QCOMPARE(thisMonthText(decode(info(monthlyUsage))), text);
}

void tst_UsageFigures::totalsBeyondTheIntegerRangeAreClamped()
{
    QCOMPARE(thisMonthText(decode(info("1e300"))), u"9.22 EB"_s);
    QCOMPARE(thisMonthText(decode(info("-1e300"))), u"-9.22 EB"_s);
    QCOMPARE(thisMonthText(decode(info("\"inf\""))), u"9.22 EB"_s);
    QCOMPARE(thisMonthText(decode(info("\"nan\""))), u"0 bytes"_s);
    // Exactly 2^63 no longer fits; one below the limit still converts.
    QCOMPARE(clampedByteCount(9223372036854775808.0), std::numeric_limits<qint64>::max());
    QCOMPARE(clampedByteCount(-9223372036854775808.0), std::numeric_limits<qint64>::min());
    QCOMPARE(clampedByteCount(9223372036854774784.0), qint64(9223372036854774784LL));
    QCOMPARE(clampedByteCount(-2.9), qint64(-2));

    // Hourly totals that overflow only when summed.
    const DeviceUsageModel model = decode(info("0") + R"(, "traffic": )" + hours(24, {"9e18"}));
    QCOMPARE(hourlyAverageText(model), u"9 EB"_s);
    const DeviceUsageModel huge = decode(info("0") + R"(, "traffic": )" + hours(2, {"1e308"}));
    QCOMPARE(hourlyAverageText(huge), u"9.22 EB"_s);
}

void tst_UsageFigures::hourlyAverageDividesByTwentyFour_data()
{
    QTest::addColumn<QByteArray>("traffic");
    QTest::addColumn<QString>("text");
    QTest::newRow("absent") << QByteArray() << QString();
    QTest::newRow("null is absent") << QByteArray(R"(, "traffic": null)") << QString();
    QTest::newRow("empty") << QByteArray(R"(, "traffic": [])") << "0 bytes";
    QTest::newRow("24 hours") << QByteArray(", \"traffic\": " + hours(24, {"24000"})) << "24 KB";
    // Twice as many records: twice the sum, still divided by 24.
    QTest::newRow("48 hours, mixed kinds")
        << QByteArray(", \"traffic\": " + hours(48, {"24000", "\"24000\"", "24000.0"})) << "48 KB";
    QTest::newRow("one hour") << QByteArray(", \"traffic\": " + hours(1, {"2400000"})) << "100 KB";
}

void tst_UsageFigures::hourlyAverageDividesByTwentyFour()
{
    QFETCH(QByteArray, traffic);
    QFETCH(QString, text);
    const QString average = hourlyAverageText(decode(info("0") + traffic));
    QCOMPARE(average, text);
    QCOMPARE(average.isNull(), text.isNull());
}

void tst_UsageFigures::chartPointsFromDailyRecords()
{
    const DeviceUsageModel model = decode(info("0") + R"(, "summary": [
        {"date": "2026-12-01", "usage": 0, "average": 0},
        {"date": "2026-12-02", "usage": "524288", "average": "21845.3"},
        {"date": "2026-12-03", "usage": 1048576, "average": 43690.6},
        {"date": "2026-12-05", "usage": 3145728.0, "average": 131072}
    ])");
    const QList<QPointF> points = chartPoints(model, december6);
    QCOMPARE(points.size(), 31);
    QCOMPARE(points[0], QPointF(1, 0));
    QCOMPARE(points[1], QPointF(2, 0.5));
    QCOMPARE(points[2], QPointF(3, 1.0));
    // x is the day of the date, gaps and all.
    QCOMPARE(points[3], QPointF(5, 3.0));
    // Padding numbers on from the list's length, not from the last day.
    QCOMPARE(points[4], QPointF(5, 0));
    QCOMPARE(points[5], QPointF(6, 0));
    QCOMPARE(points.last(), QPointF(31, 0));

    // The month's length is today's, whatever the dates say.
    QCOMPARE(chartPoints(model, november6).size(), 30);

    // A longer list than the month is left as it is.
    QByteArray many = R"(, "summary": [)";
    for (int i = 0; i < 33; ++i)
        many += QByteArray(i ? "," : "") + R"({"date": "2026-12-01", "usage": 1, "average": 1})";
    QCOMPARE(chartPoints(decode(info("0") + many + ']'), november6).size(), 33);

    // No summary: no chart; an empty one: a flat month.
    QVERIFY(chartPoints(decode(info("0")), december6).isEmpty());
    QVERIFY(chartPoints(decode(info("0") + R"(, "summary": null)"), december6).isEmpty());
    const QList<QPointF> flat = chartPoints(decode(info("0") + R"(, "summary": [])"), december6);
    QCOMPARE(flat.size(), 31);
    QCOMPARE(flat.first(), QPointF(1, 0));
    QCOMPARE(flat.last(), QPointF(31, 0));
}

void tst_UsageFigures::unparseableDatesDropOnlyTheirPoint()
{
    const DeviceUsageModel model = decode(info("0") + R"(, "summary": [
        {"date": "2026-12-01", "usage": 1048576, "average": 0},
        {"date": "2026-13-02", "usage": 1048576, "average": 0},
        {"date": 20261203, "usage": 1048576, "average": 0},
        {"date": "3 Dec 2026", "usage": 1048576, "average": 0},
        {"date": "2026-02-30", "usage": 1048576, "average": 0},
        {"date": "2026-12-04", "usage": "lots", "average": 0}
    ])");
    const QList<QPointF> points = chartPoints(model, november6);
    QCOMPARE(points.size(), 30);
    QCOMPARE(points[0], QPointF(1, 1.0));
    // Unreadable usage counts as 0 but keeps its day.
    QCOMPARE(points[1], QPointF(4, 0));
    // Four dates skipped: padding starts at the shortened length.
    QCOMPARE(points[2], QPointF(3, 0));
    QCOMPARE(points.last(), QPointF(30, 0));
}

void tst_UsageFigures::chartLinePassesThroughEveryDayWithoutInventingTraffic()
{
    const QList<QPointF> days{{1, 0}, {2, 800}, {3, 0}, {4, 0}, {5, 750}, {6, 790}, {7, 20}, {8, 0}};
    const int samples = 10;
    const QList<QPointF> line = UsageChartView::smoothLine(days, samples);
    QCOMPARE(line.size(), (days.size() - 1) * samples + 1);
    for (int i = 0; i < days.size(); ++i)
        QCOMPARE(line[i * samples], days[i]);
    for (int i = 1; i < line.size(); ++i) {
        QVERIFY2(line[i].x() > line[i - 1].x(), "the line runs left to right");
        // Between two days the curve stays between their figures: no
        // negative traffic after a busy day, no peak above one.
        const QPointF &from = days[(i - 1) / samples];
        const QPointF &to = days[(i - 1) / samples + 1];
        QVERIFY(line[i].y() >= std::min(from.y(), to.y()) - 1e-9);
        QVERIFY(line[i].y() <= std::max(from.y(), to.y()) + 1e-9);
    }
    // Days out of order (the padding can repeat a day) are joined straight.
    const QList<QPointF> repeated = UsageChartView::smoothLine({{4, 3}, {5, 1}, {5, 0}, {6, 0}}, 2);
    QCOMPARE(repeated[3], QPointF(5, 0.5));
    // Too few points to bend: as given.
    QCOMPARE(UsageChartView::smoothLine({{1, 5}, {2, 7}}), (QList<QPointF>{{1, 5}, {2, 7}}));
    QVERIFY(UsageChartView::smoothLine({}).isEmpty());
}

QTEST_GUILESS_MAIN(tst_UsageFigures)
#include "tst_usagefigures.moc"
