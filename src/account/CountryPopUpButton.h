#pragma once

#include <QComboBox>

namespace Orvex {

// The phone screen's country menu: a pop-up button whose list of countries
// (flag and name) scrolls, and opens inside the main window rather than
// across the whole screen.
class CountryPopUpButton final : public QComboBox
{
    Q_OBJECT

public:
    explicit CountryPopUpButton(QWidget *parent = nullptr);

    // Where a list of size `popup` opens for a button at `button`, both in
    // screen coordinates, in a window at `window`: under the button, or as
    // close under it as the window allows; never wider or taller than the
    // window, never outside it (a window that is itself partly off the
    // screen is the toolkit's concern).
    static QRect confinementRect(const QRect &button, const QSize &popup, const QRect &window);

    void showPopup() override;

protected:
    void paintEvent(QPaintEvent *event) override;
};

} // namespace Orvex
