#pragma once

#include "app/BaseViewController.h"

class QLabel;

namespace Orvex {

// The main screen: tunnel state, its switch and the month's traffic.
class MainViewController final : public BaseViewController
{
    Q_OBJECT

public:
    explicit MainViewController(QWidget *parent = nullptr);

private:
    QLabel *m_statusLabel;
};

} // namespace Orvex
