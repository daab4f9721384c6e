#include "MainViewController.h"

#include "ui/Images.h"
#include "ui/AlertController.h"
#include "controls/Button.h"
#include "controls/DropShadow.h"
#include "controls/ImageView.h"
#include "controls/View.h"
#include "platform/VPNConnection.h"
#include "platform/VPNManager.h"
#include "usage/UsageChart.h"
#include "usage/UsageFigures.h"
#include "home/MainHandler.h"
#include "vpn/VPNService.h"

#include <QDate>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QShowEvent>
#include <QToolButton>
#include <QVBoxLayout>

namespace Orvex {

namespace {

const QColor cardColor(0x1E, 0x27, 0x40); // the dark tile of the application icon
const QColor captionColor(0x86, 0x86, 0x8B);
const QColor figureColor(0x1D, 0x1D, 0x1F);

constexpr QSize statusImageSize(168, 168);

QLabel *makeCaption(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    QFont font = label->font();
    font.setPixelSize(11);
    font.setWeight(QFont::DemiBold);
    font.setCapitalization(QFont::AllUppercase);
    font.setLetterSpacing(QFont::AbsoluteSpacing, 0.6);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, captionColor);
    label->setPalette(palette);
    return label;
}

QLabel *makeFigure(const QString &objectName, QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setObjectName(objectName);
    QFont font = label->font();
    font.setPixelSize(20);
    font.setWeight(QFont::DemiBold);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, figureColor);
    label->setPalette(palette);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // Until the first answer arrives.
    label->setText(QStringLiteral("–"));
    return label;
}

// One figure with its caption on a white rounded tile.
View *makeTile(QLabel *caption, QLabel *figure, QWidget *parent)
{
    auto *tile = new View(parent);
    tile->setBackgroundColor(Qt::white);
    tile->setCornerRadius(10);
    auto *layout = new QVBoxLayout(tile);
    layout->setContentsMargins(14, 10, 14, 10);
    layout->setSpacing(2);
    layout->addWidget(caption);
    layout->addWidget(figure);
    caption->setParent(tile);
    figure->setParent(tile);
    return tile;
}

QToolButton *makeCornerButton(const QString &objectName, QWidget *parent)
{
    auto *button = new QToolButton(parent);
    button->setObjectName(objectName);
    button->setAutoRaise(true);
    button->setIconSize(QSize(20, 20));
    button->setFixedSize(30, 30);
    button->setCursor(Qt::PointingHandCursor);
    return button;
}

} // namespace

MainViewController::MainViewController(VPNService &service, NetworkService &network, const Config &config,
                                       Pace pace, QWidget *parent)
    : BaseViewController(config, parent)
    , m_service(service)
    , m_pace(pace)
{
    buildForm();
    m_handler = new MainHandler(m_service, network, this);
    m_noResponseTimer.setSingleShot(true);
    m_noResponseTimer.setInterval(defaultNoResponseTimeoutMs);
    QObject::connect(&m_noResponseTimer, &QTimer::timeout, this, &MainViewController::tunnelDidNotRespond);
    m_progressGrace.setSingleShot(true);
    m_progressGrace.setInterval(progressGraceMs);
    QObject::connect(&m_progressGrace, &QTimer::timeout, this, [this] {
        showProgress();
        // Clicks on the dimmed screen go on to the window rather than vanish.
        progressContainer()->setCanFallThrought(true);
    });
    m_usageRefresh.setSingleShot(true);
    QObject::connect(&m_usageRefresh, &QTimer::timeout, m_handler, &MainHandler::getDeviceUsage);
}

MainViewController::~MainViewController() = default;

void MainViewController::buildForm()
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 12, 20, 10);
    layout->setSpacing(0);

    // Top row: product name, then the information and help buttons.
    auto *top = new QHBoxLayout;
    top->setSpacing(4);
    auto *logo = new ImageView(this);
    logo->setImage(Images::named(QStringLiteral("orvex")));
    logo->setFixedSize(26, 26);
    top->addWidget(logo);
    auto *name = new QLabel(QStringLiteral("Orvex Cloud"), this);
    QFont nameFont = name->font();
    nameFont.setPixelSize(15);
    nameFont.setWeight(QFont::Bold);
    name->setFont(nameFont);
    top->addWidget(name);
    top->addStretch();
    top->addWidget(makeCornerButton(QStringLiteral("infoButton"), this));
    top->addWidget(makeCornerButton(QStringLiteral("helpButton"), this));
    layout->addLayout(top);
    layout->addSpacing(6);

    // The switch: the status picture is the button's face.
    auto *switchArea = new QWidget(this);
    switchArea->setFixedSize(statusImageSize);
    m_statusImageView = new ImageView(switchArea);
    m_statusImageView->setObjectName(QStringLiteral("statusImageView"));
    m_statusImageView->setGeometry(QRect(QPoint(0, 0), statusImageSize));
    m_mainButton = new Button(switchArea);
    m_mainButton->setObjectName(QStringLiteral("mainButton"));
    m_mainButton->setGeometry(QRect(QPoint(0, 0), statusImageSize));
    m_mainButton->setBackgroundColor(Qt::transparent);
    m_mainButton->setTitleColor(QColor(242, 165, 60));
    m_mainButton->setDropShadow(false);
    m_mainButton->setCursor(Qt::PointingHandCursor);
    m_mainButton->raise();
    QObject::connect(m_mainButton, &QPushButton::clicked, this, &MainViewController::mainButtonAction);
    layout->addWidget(switchArea, 0, Qt::AlignHCenter);

    m_statusLabel = new QLabel(this);
    m_statusLabel->setObjectName(QStringLiteral("statusLabel"));
    m_statusLabel->setAlignment(Qt::AlignCenter);
    QFont statusFont = m_statusLabel->font();
    statusFont.setPixelSize(20);
    statusFont.setWeight(QFont::Bold);
    m_statusLabel->setFont(statusFont);
    layout->addWidget(m_statusLabel);
    m_noticeLabel = new QLabel(this);
    m_noticeLabel->setObjectName(QStringLiteral("noticeLabel"));
    m_noticeLabel->setAlignment(Qt::AlignCenter);
    m_noticeLabel->setWordWrap(true);
    m_noticeLabel->setTextFormat(Qt::PlainText); // the reason may quote a path
    QPalette noticePalette = m_noticeLabel->palette();
    noticePalette.setColor(QPalette::WindowText, QColor(0xB3, 0x26, 0x1E));
    m_noticeLabel->setPalette(noticePalette);
    m_noticeLabel->hide();
    layout->addWidget(m_noticeLabel);
    //: lift_block_btn
    m_liftBlockButton = new QPushButton(tr("Turn OFF"), this);
    m_liftBlockButton->setObjectName(QStringLiteral("liftBlockButton"));
    m_liftBlockButton->setFlat(true);
    m_liftBlockButton->setCursor(Qt::PointingHandCursor);
    //: lift_block_btn_a11y
    m_liftBlockButton->setAccessibleName(tr("Turn OFF and allow traffic outside the VPN"));
    QPalette liftPalette = m_liftBlockButton->palette();
    liftPalette.setColor(QPalette::ButtonText, QColor(0xB3, 0x26, 0x1E));
    m_liftBlockButton->setPalette(liftPalette);
    m_liftBlockButton->hide();
    QObject::connect(m_liftBlockButton, &QPushButton::clicked, this, [this] {
        // The user's own Turn OFF: it alone lifts the block.
        m_service.noteUserRequest();
        m_service.disconnect();
    });
    layout->addWidget(m_liftBlockButton, 0, Qt::AlignHCenter);
    layout->addSpacing(14);

    // The month's figures.
    auto *figures = new QHBoxLayout;
    figures->setSpacing(10);
    m_thisMonthLabel = makeFigure(QStringLiteral("thisMonthLabel"), this);
    m_hourlyAverageLabel = makeFigure(QStringLiteral("hourlyAverageLabel"), this);
    View *month = makeTile(makeCaption(tr("This month"), this), m_thisMonthLabel, this);
    View *hourly = makeTile(makeCaption(tr("Hourly average"), this), m_hourlyAverageLabel, this);
    applyDropShadow(month);
    applyDropShadow(hourly);
    figures->addWidget(month, 1);
    figures->addWidget(hourly, 1);
    layout->addLayout(figures);
    layout->addSpacing(12);

    // The chart on a dark card, so its white line and labels read well.
    m_graphContainerView = new View(this);
    m_graphContainerView->setObjectName(QStringLiteral("graphContainerView"));
    m_graphContainerView->setBackgroundColor(cardColor);
    m_graphContainerView->setCornerRadius(14);
    auto *card = new QVBoxLayout(m_graphContainerView);
    card->setContentsMargins(6, 8, 8, 6);
    m_lineChartView = UsageChart::create(m_graphContainerView);
    m_lineChartView->widget()->setObjectName(QStringLiteral("lineChartView"));
    card->addWidget(m_lineChartView->widget());
    layout->addWidget(m_graphContainerView, 1);
    layout->addSpacing(8);

    auto *copyright = new QLabel(this);
    copyright->setObjectName(QStringLiteral("copyrightLabel"));
    copyright->setAlignment(Qt::AlignCenter);
    copyright->setStyleSheet(QStringLiteral("color: palette(mid); font-size: 11px;"));
    layout->addWidget(copyright);

    // As the form stands before the tunnel's state is known.
    present(VPNStatus::Disconnected);
}

void MainViewController::setup()
{
    BaseViewController::setup();

    // Handler errors end the overlay and show in an alert; they also end the
    // wait for the tunnel to answer.
    QPointer<MainViewController> self(this);
    const ResultHandler show = resultHandler();
    m_handler->resultHandler = [self, show](const std::optional<Error> &error) {
        if (self)
            self->m_noResponseTimer.stop();
        show(error);
    };
    QObject::connect(m_handler, &MainHandler::tunnelOperationStarted, this, [this] {
        if (isProgressDue())
            m_noResponseTimer.start();
    });

    QObject::connect(m_service.manager()->connection(), &VPNConnection::statusDidChange, this,
                     &MainViewController::vpnConnectionDidChange);
    if (VPNBackend *backend = m_service.manager()->backend())
        QObject::connect(backend, &VPNBackend::reasonChanged, this, &MainViewController::presentNotice);
    QObject::connect(&m_service, &VPNService::tunnelStateChanged, this, &MainViewController::presentNotice);
    QObject::connect(m_handler, &MainHandler::didRecieveDeviceUsage, this,
                     &MainViewController::didRecieveDeviceUsage);

    setupChart();
    m_handler->getDeviceUsage();

    // The tunnel's state is known once the configuration has loaded.
    m_service.manager()->loadFromPreferences([self](const Outcome<> &loaded) {
        if (!self || !loaded.isSuccess())
            return;
        self->present(self->m_service.status());
    });
}

void MainViewController::setupChart()
{
    // The month of today, fixed for the screen's life.
    m_lineChartView->setDescriptionText(
        QLocale().standaloneMonthName(QDate::currentDate().month(), QLocale::ShortFormat));
}

void MainViewController::viewDidLoad()
{
    BaseViewController::viewDidLoad();
    if (m_service.status() != VPNStatus::Connected)
        m_handler->connect();
}

void MainViewController::viewWillAppear()
{
    ++m_loadsCount;
    if (m_loadsCount == 1)
        m_lineChartView->animate();
    else if (m_loadsCount >= 3)
        m_handler->checkCurrentUser();
}

void MainViewController::showEvent(QShowEvent *event)
{
    BaseViewController::showEvent(event);
    watchWindow();
    // The first showing is the first appearance; moving the screen between
    // parents inside the window shows it again without it having gone away.
    if (!m_appeared) {
        m_appeared = true;
        viewWillAppear();
    }
}

bool MainViewController::event(QEvent *event)
{
    if (event->type() == QEvent::ParentChange)
        watchWindow();
    return BaseViewController::event(event);
}

void MainViewController::watchWindow()
{
    QWidget *top = window();
    if (m_watchedWindow == top)
        return;
    if (m_watchedWindow && m_watchedWindow != this)
        m_watchedWindow->removeEventFilter(this);
    m_watchedWindow = top;
    m_windowHidden = false;
    if (top != this)
        top->installEventFilter(this);
}

bool MainViewController::eventFilter(QObject *watched, QEvent *event)
{
    // The window closed to the tray (or minimised) and brought back is a new
    // appearance of the screen.
    if (watched == m_watchedWindow || (watched == this && m_watchedWindow == this)) {
        if (event->type() == QEvent::Hide && m_appeared) {
            m_windowHidden = true;
        } else if (event->type() == QEvent::Show && m_windowHidden) {
            m_windowHidden = false;
            viewWillAppear();
        }
    }
    return BaseViewController::eventFilter(watched, event);
}

void MainViewController::mainButtonAction()
{
    // A press is being handled: the overlay that covers the switch may not be
    // up yet, and a second press must not start a second operation.
    if (isProgressDue())
        return;
    showProgressSoon();
    m_handler->mainButtonAction();
}

void MainViewController::showProgressSoon()
{
    if (!isProgressDue() && m_service.portalNotice().isEmpty())
        m_progressGrace.start();
}

void MainViewController::hideProgress()
{
    m_progressGrace.stop();
    BaseViewController::hideProgress();
}

bool MainViewController::isProgressDue() const
{
    return m_progressGrace.isActive() || !progressContainer()->isHidden();
}

void MainViewController::present(VPNStatus status)
{
    const bool connected = status == VPNStatus::Connected;
    m_statusImageName = connected ? QStringLiteral("ic_enable") : QStringLiteral("ic_disable");
    m_statusImageView->setImage(Images::named(m_statusImageName));
    m_statusLabel->setText(connected ? tr("Turn OFF") : tr("Turn ON"));
    QPalette palette = m_statusLabel->palette();
    palette.setColor(QPalette::WindowText, connected ? QColor(0xE4, 0x8C, 0x25) : figureColor);
    m_statusLabel->setPalette(palette);
    m_mainButton->setAccessibleName(m_statusLabel->text());
    m_mainButton->setToolTip(m_statusLabel->text());
    presentNotice();
}

void MainViewController::presentNotice()
{
    VPNBackend *backend = m_service.manager() ? m_service.manager()->backend() : nullptr;
    const bool up = m_service.manager()
                    && m_service.manager()->connection()->status() == VPNStatus::Connected;
    // A sign-in page in the way says more than why the tunnel gave up: it
    // is the cause, and it tells how to get past it.
    const QString portal = m_service.portalNotice();
    const QString blocked = !portal.isEmpty() ? portal : m_service.blockedNotice();
    const QString reason = !blocked.isEmpty() ? blocked
                           : backend && !up   ? backend->unavailableReason()
                                              : QString();
    m_noticeLabel->setText(reason);
    m_noticeLabel->setVisible(!reason.isEmpty());
    // The way past a sign-in page is read, not dimmed: no overlay over it
    // however long the attempts go on.
    if (!portal.isEmpty())
        hideProgress();
    // Off already ("Always require VPN" blocks): Turn OFF would lift nothing.
    m_liftBlockButton->setVisible(!blocked.isEmpty()
                                  && m_service.tunnel().state() != TunnelController::State::Off);
}

void MainViewController::vpnConnectionDidChange()
{
    const auto *connection = qobject_cast<const VPNConnection *>(sender());
    if (!connection)
        return;
    m_noResponseTimer.stop();
    const VPNStatus status = connection->status();
    present(status);
    switch (status) {
    case VPNStatus::Connected:
    case VPNStatus::Invalid:
        hideProgress();
        break;
    case VPNStatus::Disconnected: {
        hideProgress();
        // Once the service has counted the last traffic; a repeated report
        // moves the one refresh rather than adding another.
        m_usageRefresh.start(m_pace.scaled(usageRefreshDelayMs));
        break;
    }
    case VPNStatus::Connecting:
    case VPNStatus::Reasserting:
    case VPNStatus::Disconnecting:
        showProgressSoon();
        break;
    }
}

void MainViewController::didRecieveDeviceUsage(const DeviceUsageModel &model)
{
    m_thisMonthLabel->setText(thisMonthText(model));
    m_hourlyAverageLabel->setText(hourlyAverageText(model));
    m_lineChartView->setPoints(chartPoints(model));
}

void MainViewController::tunnelDidNotRespond()
{
    if (!isProgressDue())
        return;
    hideProgress();
    const VPNStatus live = m_service.manager()->connection()->status();
    present(live);
    if (live != VPNStatus::Connected)
        AlertController::post(this,
                              tr("The VPN service did not answer; check that it is running and try "
                                 "again."),
                              false);
}

} // namespace Orvex
