#pragma once

#include "ui/BaseViewController.h"

namespace Ui {
class StartViewController;
}

namespace Orvex {

struct AppContext;

// The first screen of a signed-out user: sign in or sign up.
class StartViewController final : public BaseViewController
{
    Q_OBJECT

public:
    explicit StartViewController(const AppContext &context, QWidget *parent = nullptr);
    ~StartViewController() override;

    void signInButtonAction();
    void signUpButtonAction();

protected:
    void setup() override;

private:
    Ui::StartViewController *m_ui;
    // What the screens it opens are made from.
    const AppContext &m_context;
};

} // namespace Orvex
