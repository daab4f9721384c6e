#include "ui/Images.h"

#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QRegularExpression>
#include <QtTest>

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
    void eachNameIsCreatedOnce();
    void unknownNameIsNullAndQuiet();
    void unknownNameIsReportedOnceWhenDebugging();
};

// The images ride in the static library; a program that links it must find
// them before it has touched any code of ours.
void tst_Images::resourcesAreThereWithoutAnyCall()
{
    QImageReader reader(QStringLiteral(":/images/ic_info_black.svg"));
    const QImage image = reader.read();
    QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
}

void tst_Images::resourcesMatchDesignerList()
{
    QFile qrc(QStringLiteral(ORVEX_IMAGES_QRC));
    QVERIFY(qrc.open(QIODevice::ReadOnly));
    QStringList listed;
    const QRegularExpression alias(QStringLiteral("alias=\"([^\"]+)\""));
    for (auto match = alias.globalMatch(QString::fromUtf8(qrc.readAll())); match.hasNext();)
        listed << match.next().captured(1);
    listed.sort();

    QStringList compiled = QDir(QStringLiteral(":/images")).entryList(QDir::Files);
    compiled.sort();
    QStringList named;
    for (const QString &name : Images::names())
        named << name + QStringLiteral(".svg");
    named.sort();

    QCOMPARE(compiled, named);
    QCOMPARE(listed, named);
}

void tst_Images::everyNameRenders()
{
    for (const QString &name : Images::names()) {
        const QIcon icon = Images::named(name);
        QVERIFY2(!icon.isNull(), qPrintable(name));
        QCOMPARE(Images::path(name), QStringLiteral(":/images/%1.svg").arg(name));

        const QPixmap small = Images::pixmap(name, QSize(24, 24), 1.0);
        QCOMPARE(small.size(), QSize(24, 24));
        QVERIFY2(hasInk(small), qPrintable(name));

        // HiDPI: twice the pixels for the same logical size.
        const QPixmap sharp = Images::pixmap(name, QSize(24, 24), 2.0);
        QCOMPARE(sharp.size(), QSize(48, 48));
        QCOMPARE(sharp.devicePixelRatio(), 2.0);
    }
}

void tst_Images::eachNameIsCreatedOnce()
{
    for (const QString &name : Images::names())
        QCOMPARE(Images::named(name).cacheKey(), Images::named(name).cacheKey());
}

void tst_Images::unknownNameIsNullAndQuiet()
{
    qunsetenv("ORVEX_DEBUG");
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
    QVERIFY(Images::named(QStringLiteral("ic_no_such_image")).isNull());
    QVERIFY(Images::named(QString()).isNull());
    QVERIFY(Images::pixmap(QStringLiteral("ic_no_such_image"), QSize(24, 24)).isNull());
}

void tst_Images::unknownNameIsReportedOnceWhenDebugging()
{
    qputenv("ORVEX_DEBUG", "1");
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("ic_missing")));
    QTest::failOnWarning(QRegularExpression(QStringLiteral("ic_missing")));
    QVERIFY(Images::named(QStringLiteral("ic_missing")).isNull());
    QVERIFY(Images::named(QStringLiteral("ic_missing")).isNull());
    qunsetenv("ORVEX_DEBUG");
}

QTEST_MAIN(tst_Images)
#include "tst_images.moc"
