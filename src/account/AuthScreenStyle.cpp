#include "AuthScreenStyle.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QWidget>

namespace Orvex::AuthScreenStyle {

void apply(QWidget *screen)
{
    screen->setStyleSheet(QStringLiteral(
        "#titleLabel { font-size: 24px; font-weight: 700; color: #1D1D1F; }"
        "#subtitleLabel { font-size: 13px; color: #6E6E73; }"
        "#copyrightLabel { font-size: 11px; color: #86868B; }"
        "QLabel[fieldLabel=\"true\"] { font-size: 12px; font-weight: 600; color: #3A3A3C; }"
        "#backButton, QPushButton[link=\"true\"] { border: none; background: transparent;"
        " color: #C97A12; font-size: 13px; padding: 4px 2px; }"
        "#backButton:hover, QPushButton[link=\"true\"]:hover { color: #A86408; text-decoration: underline; }"
        "#backButton:focus, QPushButton[link=\"true\"]:focus { text-decoration: underline; }"));
    if (auto *back = screen->findChild<QAbstractButton *>(QStringLiteral("backButton"))) {
        //: back_btn
        back->setText(QStringLiteral("‹ ") + QCoreApplication::translate("Orvex::AuthScreenStyle", "Back"));
    }
}

} // namespace Orvex::AuthScreenStyle
