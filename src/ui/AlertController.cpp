#include "AlertController.h"
#include "ui_AlertController.h"

#include "ui/AppStoryboard.h"
#include "ui/Navigator.h"
#include "controls/DropShadow.h"

#include <QCoreApplication>
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
    dismiss();
    if (m_dismissNext)
        Navigator::dismissTop();
}

void AlertController::show(const QString &message, bool dismissNext)
{
    auto *alert = instantiate<AlertController>(AppStoryboard::Settings);
    alert->setMessage(message);
    alert->setDismissNext(dismissNext);
    Navigator::show(alert, NavigationDirection::center);
}

void AlertController::show(const Error &error)
{
    show(error.localizedDescription(), false);
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

void AlertController::post(const QString &message, bool dismissNext)
{
    const QString text = firstSentence(message);
    // The application for context: the alert is a widget, shown on the
    // application's thread, and no screen's life bounds it.
    QTimer::singleShot(0, QCoreApplication::instance(), [text, dismissNext] { show(text, dismissNext); });
}

} // namespace Orvex
