#include "MainViewController.h"

#include <QLabel>
#include <QVBoxLayout>

namespace Orvex {

MainViewController::MainViewController(QWidget *parent)
    : BaseViewController(parent)
    , m_statusLabel(new QLabel(this))
{
    auto *layout = new QVBoxLayout(this);
    m_statusLabel->setAlignment(Qt::AlignCenter);
    layout->addWidget(m_statusLabel);
}

} // namespace Orvex
