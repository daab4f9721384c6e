#pragma once

#include "ui/BaseViewController.h"

class QLabel;

namespace Orvex {

struct AppContext;

class Button;
class ImageView;

// Tells the user that the installed version is the latest one.
class UpdateMessageViewController final : public BaseViewController
{
    Q_OBJECT

public:
    explicit UpdateMessageViewController(const AppContext &context, QWidget *parent = nullptr);
    ~UpdateMessageViewController() override;

    void setup() override;

    QLabel *messageLabel() const { return m_messageLabel; }
    Button *okButton() const { return m_okButton; }

private:
    QLabel *m_messageLabel = nullptr;
    QLabel *m_versionLabel = nullptr;
    Button *m_okButton = nullptr;
    ImageView *m_logoView = nullptr;
};

} // namespace Orvex
