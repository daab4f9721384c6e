#pragma once

#include "ui/ViewController.h"

namespace Ui {
class InfoViewController;
}

namespace Orvex {

struct AppContext;
struct Config;

// The information screen: product name and the version text.
class InfoViewController final : public ViewController
{
    Q_OBJECT

public:
    explicit InfoViewController(const AppContext &context, QWidget *parent = nullptr);
    ~InfoViewController() override;

    QString versionText() const;

protected:
    void viewDidLoad() override;

private:
    Ui::InfoViewController *m_ui;
    const Config &m_config;
};

} // namespace Orvex
