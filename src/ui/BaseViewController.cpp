#include "BaseViewController.h"

#include "ui/AppStoryboard.h"
#include "ui/Images.h"
#include "ui/AlertController.h"
#include "ui/Navigator.h"
#include "ui/WindowController.h"
#include "config/Config.h"
#include "controls/Crawler.h"
#include "controls/View.h"

#include <QAbstractButton>
#include <QDesktopServices>
#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QUrl>

namespace Orvex {

BaseViewController::BaseViewController(const Config &config, QWidget *parent)
    : ViewController(parent)
    , m_config(config)
    , m_progressContainer(new View(this))
    , m_baseHandler(new BaseHandler(this))
{
    m_progressContainer->setGeometry(0, 0, 0, 0);
}

BaseViewController::~BaseViewController() = default;

void BaseViewController::viewDidLoad()
{
    setupProgressContainer();
    setup();
}

ResultHandler BaseViewController::resultHandler()
{
    if (!m_resultHandler) {
        QPointer<BaseViewController> self(this);
        m_resultHandler = [self](const std::optional<Error> &error) {
            if (self)
                self->hideProgress();
            // Shown in the screen's window; a screen that has gone has no
            // handler left to report.
            if (error)
                AlertController::post(self, error->localizedDescription(), false);
        };
    }
    return m_resultHandler;
}

void BaseViewController::setupProgressContainer()
{
    // Dimming overlay pinned to every edge: hidden it lets clicks through,
    // shown it swallows them (and the keyboard, so Enter cannot press a
    // button beneath it either).
    m_progressContainer->setObjectName(QStringLiteral("progressContainer"));
    m_progressContainer->setAttribute(Qt::WA_StyledBackground, true);
    m_progressContainer->setStyleSheet(
        QStringLiteral("#progressContainer { background: rgba(0, 0, 0, 128); }"));
    m_progressContainer->setCanFallThrought(true);
    m_progressContainer->setFocusPolicy(Qt::StrongFocus);
    // It holds the focus while it covers the screen: a screen reader says
    // what it is rather than an empty "filler".
    //: progress_wait
    m_progressContainer->setAccessibleName(tr("Please wait"));
    m_progressContainer->installEventFilter(this);
    m_progressContainer->hide();
    m_progressContainer->setGeometry(rect());
    installEventFilter(this);
}

bool BaseViewController::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == this && (event->type() == QEvent::Resize || event->type() == QEvent::ChildAdded)) {
        m_progressContainer->setGeometry(rect());
        if (!m_progressContainer->isHidden())
            m_progressContainer->raise();
    }
    if (watched == m_progressContainer && event->type() == QEvent::KeyPress)
        return true;
    return ViewController::eventFilter(watched, event);
}

void BaseViewController::setup()
{
    m_baseHandler->resultHandler = resultHandler();
    if (auto *copyright = findChild<QLabel *>(QStringLiteral("copyrightLabel")))
        copyright->setText(m_config.productNotice);
    if (auto *info = findChild<QAbstractButton *>(QStringLiteral("infoButton"))) {
        info->setIcon(Images::named(QStringLiteral("ic_info_black")));
        info->setAccessibleName(tr("About Orvex"));
        info->setToolTip(info->accessibleName());
        connect(info, &QAbstractButton::clicked, this, &BaseViewController::infoButtonAction,
                Qt::UniqueConnection);
    }
    if (auto *help = findChild<QAbstractButton *>(QStringLiteral("helpButton"))) {
        help->setIcon(Images::named(QStringLiteral("ic_help_black")));
        help->setAccessibleName(tr("Help"));
        help->setToolTip(help->accessibleName());
        connect(help, &QAbstractButton::clicked, this, &BaseViewController::helpButtonAction,
                Qt::UniqueConnection);
    }
}

void BaseViewController::showProgress()
{
    QSize reference = m_progressContainer->size();
    if (WindowController *window = WindowController::of(this)) {
        if (ViewController *root = window->contentViewController())
            reference = root->size();
    }
    if (!m_progressContainer->isHidden())
        return;
    m_focusBeforeProgress = focusWidget();
    m_progressContainer->setGeometry(rect());
    m_progressContainer->show();
    m_progressContainer->raise();
    m_progressContainer->setCanFallThrought(false);
    m_progressContainer->setFocus(Qt::OtherFocusReason);

    auto *crawler = new Crawler(m_progressContainer);
    crawler->setGeometry(int(reference.width() * 0.5 - progressViewWidth / 2.0),
                         int(reference.height() * 0.5 - progressViewWidth / 2.0), progressViewWidth,
                         progressViewWidth);
    crawler->setForegroundColor(QColor::fromRgbF(242 / 255.0, 165 / 255.0, 60 / 255.0, 1.0));
    crawler->setBackgroundColor(Qt::transparent);
    crawler->show();
    crawler->setAnimate(true);
    m_progressView = crawler;
}

void BaseViewController::hideProgress()
{
    m_progressContainer->hide();
    m_progressContainer->setCanFallThrought(true);
    if (m_progressView)
        m_progressView->setAnimate(false);
    for (Crawler *crawler : m_progressContainer->findChildren<Crawler *>(Qt::FindDirectChildrenOnly))
        delete crawler;
    if (m_focusBeforeProgress)
        m_focusBeforeProgress->setFocus(Qt::OtherFocusReason);
}

void BaseViewController::infoButtonAction()
{
    // By name: the information screen belongs to the application, not to the
    // framework every screen is built on.
    const QString info = QStringLiteral("InfoViewController");
    WindowController *window = WindowController::of(this);
    if (!window)
        return;
    ViewController *screen = StoryboardRegistry::create(window->context(), AppStoryboard::Settings, info);
    if (!screen)
        StoryboardRegistry::failMissingScene(AppStoryboard::Settings, info);
    Navigator::presentModal(window, screen);
}

void BaseViewController::helpButtonAction()
{
    QDesktopServices::openUrl(QUrl(m_config.supportURL));
}

} // namespace Orvex
