// The support window and its ticket, in a real (offscreen) main window,
// against the help desk of orvex-devservice.

#include "DevServiceProcess.h"

#include "ui/AppStoryboard.h"
#include "session/DefaultsKeys.h"
#include "ui/AlertController.h"
#include "settings/InfoViewController.h"
#include "ui/Navigator.h"
#include "ui/WindowController.h"
#include "config/Config.h"
#include "controls/Button.h"
#include "controls/View.h"
#include "platform/UserDefaults.h"
#include "support/SupportHandler.h"
#include "support/SupportViewController.h"
#include "TestSession.h"

#include <QDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

using namespace Orvex;
namespace Keys = Orvex::DefaultsKeys;

namespace {

const QString email = u"ann+help@example.com"_s;

QJsonObject expectedDocument(const QString &text, const QString &name)
{
    return QJsonObject{
        {u"ticket"_s,
         QJsonObject{{u"subject"_s, u"Support request from desktop app"_s},
                     {u"comment"_s, QJsonObject{{u"body"_s, text}, {u"uploads"_s, QJsonArray()}}},
                     {u"requester"_s,
                      QJsonObject{{u"email"_s, email}, {u"locale_id"_s, u"1"_s}, {u"name"_s, name}}}}}};
}

} // namespace

class tst_HelpDesk : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void buttonNeedsAtLeastOneCharacter();
    void ticketCarriesTheTextTheAccountAndTheName();
    void refusalsAreFailuresAndTheTextStays_data();
    void refusalsAreFailuresAndTheTextStays();
    void signedOutNothingIsSent();

private:
    std::optional<TestSession> m_session; // each case's own, with nothing saved
    SupportViewController *openSupport()
    {
        auto *support = instantiate<SupportViewController>(m_session->context, AppStoryboard::Settings);
        support->setTitle(u"Support"_s);
        Navigator::presentModal(m_window.get(), support);
        return QTest::qWaitForWindowExposed(support->modalWindow()) ? support : nullptr;
    }
    QJsonArray tickets() { return QJsonDocument::fromJson(m_client->get(u"/dev/tickets"_s).body).array(); }
    void useHelpDesk(const QString &authorization = {})
    {
        // The support screens read the session's configuration.
        Config &config = m_session->config;
        config.helpDeskTicketURL = m_service->origin() + u"/api/v2/tickets.json"_s;
        config.helpDeskAuthorization = authorization.isEmpty() ? m_authorization : authorization;
    }
    bool send(SupportViewController *support, const QString &text)
    {
        support->textView()->setPlainText(text);
        if (!support->requestButton()->isEnabled())
            return false;
        QTest::mouseClick(support->requestButton(), Qt::LeftButton);
        return support->progressContainer()->isVisible();
    }
    AlertController *alert() const
    {
        const QList<ViewController *> shown = m_window->contentViewController()->presentedViewControllers();
        return shown.isEmpty() ? nullptr : qobject_cast<AlertController *>(shown.constLast());
    }

    QTemporaryDir m_dir;
    std::unique_ptr<DevServiceProcess> m_service;
    std::unique_ptr<HttpsClient> m_client;
    std::unique_ptr<WindowController> m_window;
    QString m_authorization;
};

void tst_HelpDesk::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_service = std::make_unique<DevServiceProcess>(m_dir.path());
    QVERIFY2(m_service->start({u"--dev-routes"_s}), "orvex-devservice did not start");
    m_client = std::make_unique<HttpsClient>(m_service->origin(), m_service->caCertificate());

    m_authorization = Config::parse({}, {}).value().helpDeskAuthorization;
}

void tst_HelpDesk::init()
{
    m_session.emplace();
    m_session->config.caCertificates = {m_service->caCertificate()};
    m_session->defaults.setString(Keys::tempEmail, email);
    m_session->defaults.setString(Keys::password, u"secret"_s);
    useHelpDesk();
    m_service->clearFaults();

    m_window = std::make_unique<WindowController>(m_session->context);
    m_window->setContentViewController(
        instantiate<InfoViewController>(m_session->context, AppStoryboard::Settings));
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void tst_HelpDesk::cleanup()
{
    m_window.reset();
    // What the test posted, and the deletions it left, run out now.
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void tst_HelpDesk::buttonNeedsAtLeastOneCharacter()
{
    SupportViewController *support = openSupport();
    QVERIFY(support);
    QVERIFY(!support->requestButton()->isEnabled());
    QTest::keyClick(support->textView(), Qt::Key_Space);
    QVERIFY(support->requestButton()->isEnabled());
    QTest::keyClick(support->textView(), Qt::Key_Backspace);
    QVERIFY(!support->requestButton()->isEnabled());
    QTest::keyClick(support->textView(), Qt::Key_Return);
    QVERIFY(support->requestButton()->isEnabled());
    support->textView()->clear();
    QVERIFY(!support->requestButton()->isEnabled());
    QCOMPARE(support->textView()->font().pointSizeF(), 15.0); // points, not pixels

    // One space is sent unchanged; without a stored name the requester is "Unknown".
    QVERIFY(send(support, u" "_s));
    QTRY_VERIFY_WITH_TIMEOUT(alert(), 60000);
    QVERIFY(alert()->dismissNext());
    QCOMPARE(tickets().first().toObject().value(u"document"_s).toObject(),
             expectedDocument(u" "_s, u"Unknown"_s));
}

void tst_HelpDesk::ticketCarriesTheTextTheAccountAndTheName()
{
    m_session->defaults.setString(Keys::name, u"Ann Lee"_s);
    const int before = tickets().size();
    SupportViewController *support = openSupport();
    QVERIFY(support);
    QPointer<QDialog> window = support->modalWindow();
    QTest::keyClicks(support->textView(), u"The tunnel drops at 5 pm"_s);
    QTest::keyClick(support->textView(), Qt::Key_Return);
    QTest::keyClicks(support->textView(), u"\"quotes\" & "_s);
    // Typed keys are ASCII only; the rest arrives as input methods deliver it.
    support->textView()->insertPlainText(u"ümlauts, 表情 😀  "_s);
    const QString text = support->textView()->toPlainText();
    QCOMPARE(text, u"The tunnel drops at 5 pm\n\"quotes\" & ümlauts, 表情 😀  "_s);

    QTest::mouseClick(support->requestButton(), Qt::LeftButton);
    QVERIFY(support->progressContainer()->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(alert(), 60000);
    QCOMPARE(alert()->message(),
             u"Your request has been received and is being reviewed by our support staff"_s);
    QVERIFY(alert()->dismissNext());
    QVERIFY(!support->progressContainer()->isVisible());

    const QJsonArray stored = tickets();
    QCOMPARE(stored.size(), before + 1);
    QCOMPARE(stored.first().toObject().value(u"document"_s).toObject(), expectedDocument(text, u"Ann Lee"_s));

    // Closing the confirmation closes the support window with it.
    QTest::mouseClick(alert()->findChild<QPushButton *>(u"actionButton"_s), Qt::LeftButton);
    QVERIFY(m_window->contentViewController()->presentedViewControllers().isEmpty());
    QTRY_VERIFY(window.isNull() || !window->isVisible());
}

void tst_HelpDesk::refusalsAreFailuresAndTheTextStays_data()
{
    QTest::addColumn<QString>("authorization");
    QTest::addColumn<QByteArray>("fault");
    QTest::addColumn<QString>("shown");
    QTest::newRow("wrong credential (401 with a JSON error)")
        << u"Basic d3Jvbmc6Y3JlZGVudGlhbHM="_s << QByteArray() << u"401"_s;
    QTest::newRow("server error page") << QString() << QByteArray("html500") << u"500"_s;
    QTest::newRow("no body") << QString() << QByteArray("nobody") << u"Empty response from server"_s;
    // Hung up before answering: the ticket may have arrived, so it is not sent
    // again by itself (a second try would file it here).
    QTest::newRow("connection dropped") << QString() << QByteArray("close") << u"confirmation"_s;
}

void tst_HelpDesk::refusalsAreFailuresAndTheTextStays()
{
    QFETCH(QString, authorization);
    QFETCH(QByteArray, fault);
    QFETCH(QString, shown);
    useHelpDesk(authorization);
    if (!fault.isEmpty()) {
        const HttpAnswer set = m_client->post(u"/dev/faults"_s, R"({"path":"/api/v2/tickets.json","fault":")"
                                                                    + fault + R"(","times":1})");
        QCOMPARE(set.status, 200);
    }
    const int before = tickets().size();
    SupportViewController *support = openSupport();
    QVERIFY(support);
    const QString text = u"Please help\nwith this"_s;
    QVERIFY(send(support, text));
    QTRY_VERIFY_WITH_TIMEOUT(alert(), 60000);
    QVERIFY2(alert()->message().contains(shown), qPrintable(alert()->message()));
    QVERIFY(!alert()->message().contains(u"received"_s));
    QVERIFY(!alert()->dismissNext());
    QCOMPARE(tickets().size(), before);

    // The window stays with the text for another try.
    QTest::mouseClick(alert()->findChild<QPushButton *>(u"actionButton"_s), Qt::LeftButton);
    QCOMPARE(m_window->contentViewController()->presentedViewControllers(), QList<ViewController *>{support});
    QCOMPARE(support->textView()->toPlainText(), text);
    QVERIFY(!support->progressContainer()->isVisible());
    QVERIFY(support->requestButton()->isEnabled());

    // The retry with the right credential goes through.
    useHelpDesk();
    QVERIFY(send(support, text));
    QTRY_VERIFY_WITH_TIMEOUT(alert() && alert()->dismissNext(), 60000);
    QCOMPARE(tickets().size(), before + 1);
}

void tst_HelpDesk::signedOutNothingIsSent()
{
    m_session->defaults.remove(Keys::tempEmail);
    m_session->defaults.remove(Keys::password);
    QVERIFY(m_service->countRequests(u"/api/v2/tickets.json"_s));
    SupportViewController *support = openSupport();
    QVERIFY(support);
    QVERIFY(!support->handler()->sendSupportRequest(u"hello"_s));
    support->textView()->setPlainText(u"hello"_s);
    QTest::mouseClick(support->requestButton(), Qt::LeftButton);
    // The window does not wait for an answer that cannot come.
    QVERIFY(!support->progressContainer()->isVisible());
    QVERIFY(alert());
    QVERIFY(!alert()->dismissNext());
    // A request is a reply of the client's from when it is sent.
    QVERIFY(qApp->findChildren<QNetworkReply *>().isEmpty());
    QCOMPARE(m_service->requestCount(u"/api/v2/tickets.json"_s), 0);
    QCOMPARE(support->textView()->toPlainText(), u"hello"_s);
}

QTEST_MAIN(tst_HelpDesk)
#include "tst_helpdesk.moc"
