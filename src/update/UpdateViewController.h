#pragma once

#include "ui/AppContext.h"
#include "ui/BaseViewController.h"
#include "api/CheckForUpdatesResponse.h"

class QLabel;

namespace Orvex {

class Button;
class ImageView;
class UpdateHandler;

// Offers a newer version: its number and a button that downloads the
// installer package and opens it. The window stays while the installer starts.
class UpdateViewController final : public BaseViewController
{
    Q_OBJECT

public:
    explicit UpdateViewController(const AppContext &context, QWidget *parent = nullptr);
    ~UpdateViewController() override;

    void setup() override;

    // The offer this window shows; goes to the handler too.
    void setUpdateResponse(const CheckForUpdatesResponse &response);

    void downloadButtonAction();

    UpdateHandler *handler() const { return m_handler; }
    Button *downloadButton() const { return m_downloadButton; }
    QLabel *versionLabel() const { return m_versionLabel; }

private:
    void buildForm();
    void showOffer();

    UpdateHandler *m_handler;
    ImageView *m_logoView = nullptr;
    QLabel *m_titleLabel = nullptr;
    QLabel *m_versionLabel = nullptr;
    Button *m_downloadButton = nullptr;
};

} // namespace Orvex
