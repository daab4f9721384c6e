#include "Automation.h"

#include "session/DefaultsKeys.h"
#include "session/Session.h"
#include "api/Utility.h"
#include "api/NetworkService.h"
#include "ui/AlertController.h"
#include "ui/AppContext.h"
#include "tray/StatusMenuController.h"
#include "ui/ViewController.h"
#include "controls/Button.h"
#include "ui/WindowController.h"
#include "platform/UserDefaults.h"
#include "platform/VPNConnection.h"
#include "platform/VPNManager.h"
#include "home/MainViewController.h"
#include "usage/UsageChart.h"
#include "vpn/VPNService.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QProcess>
#include <QUrlQuery>

#include <cstdio>
#include <memory>

namespace Orvex {

namespace {

void out(const QString &line)
{
    std::fprintf(stdout, "%s\n", qPrintable(line));
    std::fflush(stdout);
}

// The client's main window, found as a person finds it: among the
// application's windows.
WindowController *mainWindow()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *window = qobject_cast<WindowController *>(widget))
            return window;
    }
    return nullptr;
}

ViewController *root()
{
    WindowController *window = mainWindow();
    return window ? window->contentViewController() : nullptr;
}

// The screen the user sees: the last presented one, following the chain.
ViewController *top()
{
    ViewController *current = root();
    while (current && !current->presentedViewControllers().isEmpty())
        current = current->presentedViewControllers().constLast();
    return current;
}

AlertController *shownAlert()
{
    WindowController *window = mainWindow();
    if (!window)
        return nullptr;
    for (AlertController *alert : window->findChildren<AlertController *>()) {
        if (alert->isVisible())
            return alert;
    }
    return nullptr;
}

bool topIs(const char *identifier)
{
    ViewController *t = top();
    return t && t->identifier() == QLatin1String(identifier) && t->isVisible();
}

template<typename T>
T *find(const char *name)
{
    ViewController *t = top();
    return t ? t->findChild<T *>(QLatin1String(name)) : nullptr;
}

// Types like a user: one key event per character, so validators and
// formatters see every keystroke.
bool type(const char *field, const QString &text)
{
    auto *edit = find<QLineEdit>(field);
    if (!edit)
        return false;
    edit->setFocus(Qt::OtherFocusReason);
    edit->selectAll();
    edit->del();
    for (const QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(edit, &press);
        QApplication::sendEvent(edit, &release);
    }
    return edit->text() == text;
}

bool click(const char *button)
{
    auto *b = find<QAbstractButton>(button);
    if (!b || !b->isEnabled() || !b->isVisible())
        return false;
    b->click();
    return true;
}

bool triggerMenu(const QString &title)
{
    WindowController *window = mainWindow();
    if (!window)
        return false;
    for (QAction *menu : window->menuBar()->actions()) {
        if (!menu->menu())
            continue;
        for (QAction *action : menu->menu()->actions()) {
            if (action->text().remove(u'&') == title) {
                action->trigger();
                return true;
            }
        }
    }
    return false;
}

QString env(const char *name)
{
    return qEnvironmentVariable(name);
}

QString gatewayValue(const QString &key)
{
    QFile file(env("ORVEX_AUTOMATION_GATEWAY"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith(key.toLatin1() + '='))
            return QString::fromLocal8Bit(line.mid(key.size() + 1)).trimmed();
    }
    return {};
}

bool withGateway()
{
    return !gatewayValue(QStringLiteral("CLIENT_NS")).isEmpty();
}

QString statusText()
{
    auto *main = qobject_cast<MainViewController *>(root());
    return main && main->statusLabel() ? main->statusLabel()->text() : QString();
}

// Runs a command and reports its exit status.
void run(const QString &program, const QStringList &args, const Automation::Done &done, const QString &okNote)
{
    auto *process = new QProcess;
    QObject::connect(process, &QProcess::finished, process, [process, done, okNote](int code) {
        process->deleteLater();
        done(code == 0, code == 0
                            ? okNote
                            : QStringLiteral("exit status %1: %2")
                                  .arg(code)
                                  .arg(QString::fromLocal8Bit(process->readAllStandardError()).trimmed()));
    });
    QObject::connect(process, &QProcess::errorOccurred, process, [process, done](QProcess::ProcessError) {
        process->deleteLater();
        done(false, process->errorString());
    });
    process->start(program, args);
}

// orvexctl of the same build, beside this program.
QString orvexctl()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/orvexctl");
}

void pingThroughTunnel(const Automation::Done &done)
{
    const QString ns = gatewayValue(QStringLiteral("CLIENT_NS"));
    const QString inner = gatewayValue(QStringLiteral("INNER_ADDR"));
    run(QStringLiteral("ip"),
        {QStringLiteral("netns"), QStringLiteral("exec"), ns, QStringLiteral("ping"), QStringLiteral("-c"),
         QStringLiteral("2"), QStringLiteral("-W"), QStringLiteral("2"), inner},
        done, QStringLiteral("a ping crossed the tunnel to %1").arg(inner));
}

// The state all steps share.
struct Journey
{
    QString email = QStringLiteral("journey-%1@orvex.example").arg(QDateTime::currentSecsSinceEpoch());
    // Chosen by the caller when it looks for the password where it must not be.
    QString password = env("ORVEX_AUTOMATION_NEW_PASSWORD").isEmpty() ? QStringLiteral("journey-pass-1")
                                                                      : env("ORVEX_AUTOMATION_NEW_PASSWORD");
    QString name = QStringLiteral("Journey Tester");
    QString nationalNumber = QStringLiteral("612345678");
    QString callingCode = QStringLiteral("+33");
    QString code;
    QNetworkAccessManager network;
};

} // namespace

void Automation::begin(const QString &which, const AppContext &context, VPNService &service, QObject *parent)
{
    std::vector<Step> steps;
    if (which == QLatin1String("journey")) {
        steps = journey(context, service);
    } else if (which == QLatin1String("unreachable-service")) {
        steps = unreachableService();
    } else {
        out(QStringLiteral("automation: unknown journey \"%1\"").arg(which));
        QTimer::singleShot(0, [] { QCoreApplication::exit(2); });
        return;
    }
    auto *automation = new Automation(std::move(steps), env("ORVEX_AUTOMATION_SHOTS"), parent);
    QTimer::singleShot(0, automation, &Automation::start);
}

Automation::Automation(std::vector<Step> steps, const QString &shotsDir, QObject *parent)
    : QObject(parent)
    , m_steps(std::move(steps))
    , m_shotsDir(shotsDir)
{
    m_poll.setInterval(100);
    connect(&m_poll, &QTimer::timeout, this, &Automation::poll);
}

void Automation::start()
{
    if (!m_shotsDir.isEmpty())
        QDir().mkpath(m_shotsDir);
    m_totalClock.start();
    m_stepClock.start();
    m_poll.start();
}

void Automation::poll()
{
    if (m_running)
        return;
    if (m_index >= m_steps.size()) {
        m_poll.stop();
        out(QStringLiteral("journey: all %1 steps passed in %2 s")
                .arg(m_steps.size())
                .arg(m_totalClock.elapsed() / 1000.0, 0, 'f', 1));
        QCoreApplication::exit(0);
        return;
    }
    const Step &step = m_steps[m_index];
    if (!step.ready || step.ready()) {
        m_running = true;
        if (!step.action) {
            finishStep(true, {});
            return;
        }
        if (step.endsProcess) {
            m_poll.stop();
            out(QStringLiteral("step %1/%2 %3: started; the client ends by itself (%4 s in all)")
                    .arg(m_index + 1)
                    .arg(m_steps.size())
                    .arg(step.title)
                    .arg(m_totalClock.elapsed() / 1000.0, 0, 'f', 1));
            step.action([](bool, const QString &) {});
            return;
        }
        QPointer<Automation> self(this);
        step.action([self](bool ok, const QString &note) {
            if (self)
                self->finishStep(ok, note);
        });
        return;
    }
    if (m_stepClock.elapsed() > step.timeoutMs)
        fail(QStringLiteral("timed out waiting"));
}

void Automation::finishStep(bool ok, const QString &note)
{
    m_running = false;
    const Step &step = m_steps[m_index];
    if (!ok) {
        fail(note);
        return;
    }
    out(QStringLiteral("step %1/%2 %3: ok (%4 s)%5")
            .arg(m_index + 1)
            .arg(m_steps.size())
            .arg(step.title)
            .arg(m_stepClock.elapsed() / 1000.0, 0, 'f', 1)
            .arg(note.isEmpty() ? QString() : QStringLiteral(" — ") + note));
    screenshot(QStringLiteral("%1-%2").arg(m_index + 1, 2, 10, QLatin1Char('0')).arg(step.title));
    ++m_index;
    m_stepClock.restart();
}

void Automation::fail(const QString &why)
{
    m_poll.stop();
    const Step &step = m_steps[m_index];
    out(QStringLiteral("step %1/%2 %3: FAILED: %4 (screen: %5)")
            .arg(m_index + 1)
            .arg(m_steps.size())
            .arg(step.title, why, top() ? top()->identifier() : QStringLiteral("none")));
    screenshot(QStringLiteral("%1-%2-FAILED").arg(m_index + 1, 2, 10, QLatin1Char('0')).arg(step.title));
    QCoreApplication::exit(1);
}

void Automation::screenshot(const QString &name) const
{
    if (m_shotsDir.isEmpty())
        return;
    QString file = name;
    file.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9-]+")), QStringLiteral("-"));
    if (WindowController *window = mainWindow())
        window->grab().save(m_shotsDir + u'/' + file + QStringLiteral(".png"));
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (qobject_cast<QDialog *>(w) && w->isVisible())
            w->grab().save(m_shotsDir + u'/' + file + QStringLiteral("-window.png"));
    }
}

std::vector<Automation::Step> Automation::unreachableService()
{
    std::vector<Step> steps;
    // No action: the step's screenshot is the first screen as drawn.
    steps.push_back({QStringLiteral("start screen"), [] { return topIs("StartViewController"); }, {}});
    steps.push_back({QStringLiteral("sign-in chosen"), [] { return topIs("StartViewController"); },
                     [](Done done) { done(click("signInButton"), {}); }});
    steps.push_back({QStringLiteral("sign-in form"), [] { return topIs("AuthViewController"); },
                     [](Done done) {
                         const bool typed = type("emailTextField", QStringLiteral("someone@orvex.example"))
                                            && type("passwordTextField", QStringLiteral("secret-1"));
                         done(typed && click("actionButton"), {});
                     }});
    // The request's own time-outs decide how long this takes; the step waits
    // a little longer than the longest of them.
    steps.push_back({QStringLiteral("service unreachable"), [] { return shownAlert() != nullptr; },
                     [](Done done) {
                         AlertController *alert = shownAlert();
                         auto *message = alert->findChild<QLabel *>(QStringLiteral("messageLabel"));
                         auto *ok = alert->findChild<QAbstractButton *>(QStringLiteral("actionButton"));
                         const QString shown = message ? message->text() : QString();
                         if (ok)
                             ok->click();
                         done(!shown.isEmpty() && ok, QStringLiteral("alert: ") + shown);
                     },
                     200000});
    steps.push_back({QStringLiteral("form usable again"),
                     [] {
                         auto *button = find<QAbstractButton>("actionButton");
                         return !shownAlert() && topIs("AuthViewController") && button && button->isEnabled();
                     },
                     {}});
    return steps;
}

std::vector<Automation::Step> Automation::journey(const AppContext &context, VPNService &service)
{
    // The client's own objects, as its screens have them.
    const AppContext app = context;
    auto j = std::make_shared<Journey>();
    const bool tunnel = withGateway();
    std::vector<Step> steps;

    steps.push_back({QStringLiteral("start screen"), [] { return topIs("StartViewController"); },
                     [](Done done) { done(click("signUpButton"), QStringLiteral("sign-up chosen")); }});
    steps.push_back({QStringLiteral("sign-up form"), [] { return topIs("AuthViewController"); },
                     [j](Done done) {
                         const bool typed = type("nameTextField", j->name) && type("emailTextField", j->email)
                                            && type("passwordTextField", j->password);
                         done(typed && click("actionButton"), j->email);
                     }});
    steps.push_back({QStringLiteral("phone screen"), [] { return topIs("MobileViewController"); },
                     [j](Done done) {
                         auto *countries = find<QComboBox>("popUpButton");
                         int france = -1;
                         for (int i = 0; countries && i < countries->count(); ++i) {
                             if (countries->itemData(i).toString() == QLatin1String("FR")
                                 || countries->itemText(i).contains(QLatin1String("France")))
                                 france = i;
                         }
                         if (france < 0)
                             return done(false, QStringLiteral("no France in the country menu"));
                         countries->setCurrentIndex(france);
                         Q_EMIT countries->activated(france);
                         auto *label = find<QLineEdit>("countryCodeLabel");
                         const QString code = label ? label->text()
                                              : find<QLabel>("countryCodeLabel")
                                                  ? find<QLabel>("countryCodeLabel")->text()
                                                  : QString();
                         if (code != j->callingCode)
                             return done(false, QStringLiteral("country code shows \"%1\"").arg(code));
                         done(type("mobileTextField", j->nationalNumber) && click("sendButton"),
                              j->callingCode + j->nationalNumber);
                     }});
    steps.push_back(
        {QStringLiteral("code from the SMS outbox"), [] { return topIs("ConfirmationCodeViewController"); },
         [j, app](Done done) {
             QUrl url(env("ORVEX_AUTOMATION_SERVICE") + QStringLiteral("/dev/sms"));
             QUrlQuery query;
             query.addQueryItem(QStringLiteral("to"), QString::fromLatin1(QUrl::toPercentEncoding(
                                                          j->callingCode + j->nationalNumber)));
             url.setQuery(query);
             QNetworkRequest request(url);
             request.setSslConfiguration(app.network.sslConfiguration());
             QNetworkReply *reply = j->network.get(request);
             QObject::connect(reply, &QNetworkReply::finished, reply, [reply, j, done] {
                 reply->deleteLater();
                 const QJsonArray outbox = QJsonDocument::fromJson(reply->readAll()).array();
                 if (outbox.isEmpty())
                     return done(false, QStringLiteral("the outbox is empty: %1").arg(reply->errorString()));
                 j->code = outbox.first().toObject().value(QLatin1String("message")).toString();
                 done(type("codeTextField", j->code) && click("confirmButton"),
                      QStringLiteral("code %1 typed").arg(j->code));
             });
         }});
    steps.push_back({QStringLiteral("main screen"),
                     [] { return qobject_cast<MainViewController *>(root()) && topIs("MainViewController"); },
                     [app](Done done) {
                         done(app.session.isSignedIn(),
                              QStringLiteral("account created, machine registered"));
                     },
                     30000});
    steps.push_back({QStringLiteral("usage drawn"),
                     [] {
                         auto *main = qobject_cast<MainViewController *>(root());
                         return main && main->lineChartView() && !main->lineChartView()->points().isEmpty()
                                && !main->thisMonthLabel()->text().isEmpty();
                     },
                     [](Done done) {
                         auto *main = qobject_cast<MainViewController *>(root());
                         done(true, QStringLiteral("this month %1, %2 points")
                                        .arg(main->thisMonthLabel()->text())
                                        .arg(main->lineChartView()->points().size()));
                     }});
    if (tunnel) {
        steps.push_back({QStringLiteral("tunnel up"), [] { return statusText() == QLatin1String("Turn OFF"); },
                         [](Done done) { pingThroughTunnel(done); }, 60000});
        steps.push_back({QStringLiteral("turn off"), {}, [](Done done) {
                             auto *main = qobject_cast<MainViewController *>(root());
                             if (!main)
                                 return done(false, QStringLiteral("no main screen"));
                             main->mainButton()->click();
                             done(true, {});
                         }});
        steps.push_back({QStringLiteral("tunnel down"),
                         [&service] {
                             return service.manager()->connection()->status() == VPNStatus::Disconnected
                                    && statusText() == QLatin1String("Turn ON");
                         },
                         [](Done done) {
                             // The tray menu is rebuilt on every status change: its
                             // middle entry now offers to connect.
                             auto *tray = qApp->findChild<StatusMenuController *>();
                             const QList<QAction *> entries = tray && tray->menu() ? tray->menu()->actions()
                                                                                   : QList<QAction *>{};
                             QStringList titles;
                             for (QAction *a : entries) {
                                 if (!a->isSeparator())
                                     titles << a->text();
                             }
                             done(titles.size() == 3 && titles.at(1) == QLatin1String("Connect"),
                                  QStringLiteral("status reads Turn ON; tray: %1")
                                      .arg(titles.join(QStringLiteral(" | "))));
                         },
                         30000});
        // The same tunnel from the command line, over the client's control
        // interface: up (orvexctl returns once it is), a ping through it,
        // and down again.
        steps.push_back(
            {QStringLiteral("orvexctl on --wait"),
             {},
             [](Done done) {
                 auto *process = new QProcess;
                 QObject::connect(process, &QProcess::finished, process, [process, done](int code) {
                     process->deleteLater();
                     const QString shown = QString::fromUtf8(process->readAllStandardOutput()).trimmed();
                     // Up, with the inner address the gateway gave.
                     if (code != 0 || !shown.contains(QStringLiteral(", address ")))
                         return done(false,
                                     QStringLiteral("exit status %1: %2 %3")
                                         .arg(code)
                                         .arg(shown, QString::fromUtf8(process->readAllStandardError())));
                     pingThroughTunnel([done, shown](bool ok, const QString &note) {
                         done(ok, shown + QStringLiteral("; ") + note);
                     });
                 });
                 process->start(orvexctl(),
                                {QStringLiteral("on"), QStringLiteral("--wait"), QStringLiteral("60")});
             },
             90000});
        steps.push_back({QStringLiteral("orvexctl off"), {}, [](Done done) {
                             run(orvexctl(), {QStringLiteral("off")}, done, {});
                         }});
        steps.push_back({QStringLiteral("tunnel down from orvexctl"),
                         [&service] {
                             return service.manager()->connection()->status() == VPNStatus::Disconnected
                                    && statusText() == QLatin1String("Turn ON");
                         },
                         [](Done done) { done(true, QStringLiteral("status reads Turn ON")); }, 30000});
    }
    steps.push_back({QStringLiteral("settings"), {}, [](Done done) {
                         done(triggerMenu(QStringLiteral("Settings…")), {});
                     }});
    steps.push_back({QStringLiteral("auto-connect off"), [] { return topIs("SettingsViewController"); },
                     [app](Done done) {
                         const bool before = app.defaults.boolean(DefaultsKeys::isAutoConnectEnabled);
                         if (!click("autoConnectButton"))
                             return done(false, QStringLiteral("no auto-connect box"));
                         const bool after = app.defaults.boolean(DefaultsKeys::isAutoConnectEnabled);
                         done(before != after && !after, QStringLiteral("stored value now %1").arg(after));
                     }});
    steps.push_back({QStringLiteral("sign out"), [] { return topIs("SettingsViewController"); },
                     [](Done done) { done(click("logoutButton"), {}); }});
    steps.push_back({QStringLiteral("start screen again"),
                     [] {
                         return root() && root()->identifier() == QLatin1String("StartViewController")
                                && topIs("StartViewController");
                     },
                     [app](Done done) {
                         const bool gone = !app.session.isSignedIn() && !app.session.identityReference();
                         done(gone, QStringLiteral("session and certificate removed"));
                     }});
    steps.push_back({QStringLiteral("sign in"), [] { return topIs("StartViewController"); },
                     [](Done done) { done(click("signInButton"), {}); }});
    steps.push_back({QStringLiteral("sign-in form"), [] { return topIs("AuthViewController"); },
                     [j](Done done) {
                         done(type("emailTextField", j->email) && type("passwordTextField", j->password)
                                  && click("actionButton"),
                              j->email);
                     }});
    steps.push_back({QStringLiteral("signed in, one device"),
                     [] { return qobject_cast<MainViewController *>(root()) && topIs("MainViewController"); },
                     [j, app](Done done) {
                         app.network.getUser(j->email, j->password, [j, done](const Result<UserResponse> &r) {
                             if (!r.isSuccess())
                                 return done(false, r.error().localizedDescription());
                             const QString udid = Utility::udid(j->email);
                             int matching = 0;
                             for (const Device &d : r.value().user.devices.value_or(QList<Device>{}))
                                 matching += d.udid == udid;
                             done(matching == 1,
                                  QStringLiteral("%1 device record(s) for this machine").arg(matching));
                         });
                     },
                     30000});
    if (tunnel) {
        steps.push_back({QStringLiteral("tunnel up again"),
                         [] { return statusText() == QLatin1String("Turn OFF"); },
                         [](Done done) { pingThroughTunnel(done); }, 60000});
    }
    // Quitting goes through the tunnel's quit path: the tunnel is stopped and
    // the process ends by itself.
    steps.push_back({QStringLiteral("quit"),
                     {},
                     [](Done done) { done(triggerMenu(QStringLiteral("Quit Orvex")), {}); },
                     20000,
                     true});
    return steps;
}

} // namespace Orvex
