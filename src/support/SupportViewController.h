#pragma once

#include "ui/AppContext.h"
#include "ui/BaseViewController.h"

class QLabel;
class QPlainTextEdit;

namespace Orvex {

class Button;
class SupportHandler;
class UserDefaults;

// The support window: a free-text message sent as a help-desk ticket. The
// send button is enabled by any text at all; a received ticket is confirmed in
// an alert that closes the window with it, a failure leaves the text in place
// for another try.
class SupportViewController final : public BaseViewController
{
    Q_OBJECT

public:
    explicit SupportViewController(const AppContext &context, QWidget *parent = nullptr);
    ~SupportViewController() override;

    void setup() override;

    void textDidChange();
    void requestButtonAction();
    void didRecieveSupportResponse();

    SupportHandler *handler() const { return m_handler; }
    Button *requestButton() const { return m_requestButton; }
    QPlainTextEdit *textView() const { return m_textView; }

private:
    void buildForm();

    SupportHandler *m_handler;
    const UserDefaults &m_defaults;
    QLabel *m_titleLabel = nullptr;
    QLabel *m_detailLabel = nullptr;
    QPlainTextEdit *m_textView = nullptr;
    Button *m_requestButton = nullptr;
};

} // namespace Orvex
