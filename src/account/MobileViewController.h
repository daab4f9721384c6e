#pragma once

#include "ui/AppContext.h"
#include "ui/BaseViewController.h"
#include "platform/Countries.h"

namespace Ui {
class MobileViewController;
}

namespace Orvex {

class MobileHandler;

// The second step of sign-up: the country (preselected from the user's
// locale) and the mobile number that the confirmation code is sent to.
class MobileViewController final : public BaseViewController
{
    Q_OBJECT

public:
    explicit MobileViewController(const AppContext &context, QWidget *parent = nullptr);
    ~MobileViewController() override;

    // The countries of the menu, in menu order.
    QList<Country> countries;

    MobileHandler *handler() const { return m_handler; }

    // Checks the number (nine characters when a country code is shown) and
    // hands the code and the number, joined, to the handler.
    void sendButtonAction();
    // The menu closed on the country at `index`: its code goes into the label.
    void menuDidClose(int index);
    void backButtonAction();

protected:
    void viewDidLoad() override;
    void setup() override;

private:
    void showCountryCode(const QString &code);

    Ui::MobileViewController *m_ui;
    MobileHandler *m_handler;
};

} // namespace Orvex
