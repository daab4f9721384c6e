#pragma once

#include "ui/BaseHandler.h"
#include "ui/ViewController.h"

#include "controls/Crawler.h"
#include "controls/View.h"

#include <QPointer>

class QAbstractButton;
class QLabel;

namespace Orvex {

struct Config;
class Crawler;
class View;

// The furniture every screen shares: the product notice, the information and
// help buttons, the progress overlay and the default way of reporting results.
// Subclasses build their form in their constructor and override setup(),
// calling the base first.
class BaseViewController : public ViewController
{
    Q_OBJECT

public:
    // The product notice and the help page are `config`'s.
    explicit BaseViewController(const Config &config, QWidget *parent = nullptr);
    ~BaseViewController() override;

    // The screen's default result callback: hides the overlay (if the screen
    // still exists) and shows the first sentence of an error in an alert.
    ResultHandler resultHandler();

    virtual void setup();
    virtual void setupProgressContainer();
    virtual void showProgress();
    virtual void hideProgress();

    View *progressContainer() const { return m_progressContainer; }
    static constexpr int progressViewWidth = 100;

protected:
    const Config &config() const { return m_config; }
    void viewDidLoad() override;
    bool eventFilter(QObject *watched, QEvent *event) override;

    void infoButtonAction();
    void helpButtonAction();

private:
    const Config &m_config;
    View *m_progressContainer;
    QPointer<Crawler> m_progressView;
    BaseHandler *m_baseHandler;
    ResultHandler m_resultHandler;
    QPointer<QWidget> m_focusBeforeProgress;
};

} // namespace Orvex
