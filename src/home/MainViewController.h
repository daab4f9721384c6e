#pragma once

#include "ui/BaseViewController.h"
#include "platform/Pace.h"
#include "platform/VPNStatus.h"

#include <QPointer>
#include <QTimer>
#include <QVariant>

class QLabel;

namespace Orvex {

class Button;
struct DeviceUsageModel;
class ImageView;
class MainHandler;
class NetworkService;
class UsageChart;
class VPNService;
class View;

// The main screen: the tunnel's switch and state, the month's traffic and the
// chart of daily traffic. All talking to the service and switching goes
// through its MainHandler; the screen reads the live tunnel state itself only
// once, when it is set up.
class MainViewController final : public BaseViewController
{
    Q_OBJECT

public:
    // Works `service` (the process's tunnel service; tests hand one over with
    // a fake backend) and asks the service API through `network`.
    // Its deliberate pauses run at `pace`.
    MainViewController(VPNService &service, NetworkService &network, const Config &config, Pace pace,
                       QWidget *parent = nullptr);
    ~MainViewController() override;

    void setup() override;
    // Counts the screen's appearances: the first lets the chart rise, the
    // third and later re-check the stored credentials.
    void viewWillAppear() override;

    void mainButtonAction();
    void hideProgress() override;
    // The overlay is up, or comes when the grace below is over.
    bool isProgressDue() const;

    MainHandler *handler() const { return m_handler; }
    QString statusImageName() const { return m_statusImageName; }
    Button *mainButton() const { return m_mainButton; }
    QLabel *statusLabel() const { return m_statusLabel; }
    // Why the tunnel cannot be used (a sign-in page the block keeps closed,
    // why it gave up, the backend's reason); hidden when there is none or
    // the tunnel is up.
    QLabel *noticeLabel() const { return m_noticeLabel; }
    // Shown while traffic is blocked by a tunnel that is wanted (given up,
    // or held up by a sign-in page): the user's one way to lift the block.
    QPushButton *liftBlockButton() const { return m_liftBlockButton; }
    QLabel *thisMonthLabel() const { return m_thisMonthLabel; }
    QLabel *hourlyAverageLabel() const { return m_hourlyAverageLabel; }
    UsageChart *lineChartView() const { return m_lineChartView; }

    // When a switch was handed to the tunnel and no status change follows
    // within this time, the overlay goes and the live state is shown again
    // (a missing VPN daemon reports nothing at all).
    void setNoResponseTimeout(int milliseconds) { m_noResponseTimer.setInterval(milliseconds); }
    static constexpr int defaultNoResponseTimeoutMs = 20000;
    // A switch was handed to the tunnel and no status change has come yet:
    // that time-out runs.
    bool isAwaitingTunnel() const { return m_noResponseTimer.isActive(); }
    // A switch dims the screen only once it has lasted this long: a near
    // gateway's tunnel is up before a dimmed screen would even be seen, and
    // painting one then takes the cores the keying runs on.
    static constexpr int progressGraceMs = 100;
    void setProgressGrace(int milliseconds) { m_progressGrace.setInterval(milliseconds); }
    // The usage refresh after the tunnel went down, and whether it is still
    // to come.
    static constexpr int usageRefreshDelayMs = 1000;
    bool isUsageRefreshDue() const { return m_usageRefresh.isActive(); }

protected:
    void viewDidLoad() override;
    void showEvent(QShowEvent *event) override;
    bool event(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildForm();
    void setupChart();
    void present(VPNStatus status);
    void vpnConnectionDidChange();
    void presentNotice();
    void didRecieveDeviceUsage(const DeviceUsageModel &usage);
    void tunnelDidNotRespond();
    void showProgressSoon();
    void watchWindow();

    VPNService &m_service;
    View *m_graphContainerView = nullptr;
    Button *m_mainButton = nullptr;
    ImageView *m_statusImageView = nullptr;
    QLabel *m_statusLabel = nullptr;
    QLabel *m_noticeLabel = nullptr;
    QPushButton *m_liftBlockButton = nullptr;
    QLabel *m_thisMonthLabel = nullptr;
    QLabel *m_hourlyAverageLabel = nullptr;
    MainHandler *m_handler = nullptr;
    UsageChart *m_lineChartView = nullptr;
    int m_loadsCount = 0;

    QString m_statusImageName;
    QTimer m_noResponseTimer;
    QTimer m_progressGrace;
    QTimer m_usageRefresh;
    Pace m_pace;
    bool m_appeared = false;
    bool m_windowHidden = false;
    QPointer<QWidget> m_watchedWindow;
};

} // namespace Orvex
