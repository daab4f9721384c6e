#include "ui/Images.h"

#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QRegularExpression>
#include <QtTest>

using namespace Qt::StringLiterals;

using namespace Orvex;

namespace {

bool hasInk(const QPixmap &pixmap)
{
    const QImage image = pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (qAlpha(image.pixel(x, y)) > 128)
                return true;
        }
    }
    return false;
}

} // namespace

class tst_Images : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void resourcesAreThereWithoutAnyCall();
    void resourcesMatchDesignerList();
    void everyNameRenders();
    void unknownNameIsNullAndQuiet();
    void unknownNameIsReportedOnceWhenDebugging();
};

// The images ride in the static library; a program that links it must find
// them before it has touched any code of ours.
void tst_Images::resourcesAreThereWithoutAnyCall()
{
    QImageReader reader(u":/images/ic_info_black.svg"_s);
    const QImage image = reader.read();
    QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
}

void tst_Images::resourcesMatchDesignerList()
{
    QFile qrc(QStringLiteral(ORVEX_IMAGES_QRC));
    QVERIFY(qrc.open(QIODevice::ReadOnly));
    QStringList listed;
    const QRegularExpression alias(u"alias=\"([^\"]+)\""_s);
    for (auto match = alias.globalMatch(QString::fromUtf8(qrc.readAll())); match.hasNext();)
        listed << match.next().captured(1);
    listed.sort();

    QStringList compiled = QDir(u":/images"_s).entryList(QDir::Files);
    compiled.sort();
    QStringList named;
    for (const QString &name : Images::names())
        named << name + u".svg"_s;
    named.sort();

    QCOMPARE(compiled, named);
    QCOMPARE(listed, named);
}

void tst_Images::everyNameRenders()
{
    for (const QString &name : Images::names()) {
        const QIcon icon = Images::named(name);
        QVERIFY2(!icon.isNull(), qPrintable(name));
        QCOMPARE(Images::named(name).cacheKey(), icon.cacheKey()); // made once
        QCOMPARE(Images::path(name), u":/images/%1.svg"_s.arg(name));

        const QPixmap small = Images::pixmap(name, QSize(24, 24), 1.0);
        QCOMPARE(small.size(), QSize(24, 24));
        QVERIFY2(hasInk(small), qPrintable(name));

        // HiDPI: twice the pixels for the same logical size.
        const QPixmap sharp = Images::pixmap(name, QSize(24, 24), 2.0);
        QCOMPARE(sharp.size(), QSize(48, 48));
        QCOMPARE(sharp.devicePixelRatio(), 2.0);
    }
}

void tst_Images::unknownNameIsNullAndQuiet()
{
    qunsetenv("ORVEX_DEBUG");
    QTest::failOnWarning(QRegularExpression(u".*"_s));
    QVERIFY(Images::named(u"ic_no_such_image"_s).isNull());
    QVERIFY(Images::named(QString()).isNull());
    QVERIFY(Images::pixmap(u"ic_no_such_image"_s, QSize(24, 24)).isNull());
}

void tst_Images::unknownNameIsReportedOnceWhenDebugging()
{
    qputenv("ORVEX_DEBUG", "1");
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"ic_missing"_s));
    QTest::failOnWarning(QRegularExpression(u"ic_missing"_s));
    QVERIFY(Images::named(u"ic_missing"_s).isNull());
    QVERIFY(Images::named(u"ic_missing"_s).isNull());
    qunsetenv("ORVEX_DEBUG");
}

QTEST_MAIN(tst_Images)
#include "tst_images.moc"
