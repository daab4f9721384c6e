#include "AlertController.h"
#include "ui_AlertController.h"

#include "ui/AppStoryboard.h"
#include "ui/Navigator.h"
#include "ui/WindowController.h"
#include "controls/DropShadow.h"

#include <QKeyEvent>
#include <QTimer>

namespace Orvex {

AlertController::AlertController(QWidget *parent)
    : ViewController(parent)
    , m_ui(new Ui::AlertController)
{
    m_ui->setupUi(this);
    setAutoFillBackground(false);
    setObjectName(QStringLiteral("AlertController"));
    setStyleSheet(QStringLiteral("#AlertController { background: rgba(0, 0, 0, 217); }"
                                 "#containerView { background: palette(window); border-radius: 4px; }"
                                 "#messageLabel { font-size: 15px; }"));
    setAccessibleName(tr("Alert"));
    connect(m_ui->actionButton, &QPushButton::clicked, this, &AlertController::buttonAction);
}

AlertController::~AlertController()
{
    delete m_ui;
}

void AlertController::viewDidLoad()
{
    applyDropShadow(m_ui->containerView);
    m_ui->messageLabel->setText(m_message);
    m_ui->actionButton->setFocus(Qt::OtherFocusReason);
}

void AlertController::setMessage(const QString &message)
{
    m_message = message;
    m_ui->messageLabel->setText(message);
    m_ui->messageLabel->setAccessibleName(message);
}

void AlertController::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape || event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        buttonAction();
        return;
    }
    ViewController::keyPressEvent(event);
}

void AlertController::buttonAction()
{
    if (!presentingViewController())
        return;
    // Taken before the alert leaves its window.
    QPointer<WindowController> window(WindowController::of(this));
    dismiss();
    if (m_dismissNext && window)
        Navigator::dismissTop(window);
}

void AlertController::show(const QObject *from, const QString &message, bool dismissNext)
{
    WindowController *window = WindowController::of(from);
    if (!window)
        return;
    auto *alert = instantiate<AlertController>(window->context(), AppStoryboard::Settings);
    alert->setMessage(message);
    alert->setDismissNext(dismissNext);
    Navigator::show(window, alert, NavigationDirection::center);
}

void AlertController::show(const QObject *from, const Error &error)
{
    show(from, error.localizedDescription(), false);
}

QString AlertController::firstSentence(const QString &message)
{
    for (qsizetype i = 0; i < message.size(); ++i) {
        if (message.at(i) != u'.')
            continue;
        if (i + 1 == message.size() || message.at(i + 1).isSpace())
            return message.left(i);
    }
    return message;
}

void AlertController::post(const QObject *from, const QString &message, bool dismissNext)
{
    const QString text = firstSentence(message);
    // The window for context: the alert is shown there even when the screen
    // that reported has gone by the next turn.
    WindowController *window = WindowController::of(from);
    if (!window)
        return;
    QTimer::singleShot(0, window, [window, text, dismissNext] { show(window, text, dismissNext); });
}

} // namespace Orvex
