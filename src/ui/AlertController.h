#pragma once

#include "api/Error.h"
#include "ui/ViewController.h"

namespace Ui {
class AlertController;
}

namespace Orvex {

// A message over the current screen with one button.
class AlertController final : public ViewController
{
    Q_OBJECT

public:
    explicit AlertController(QWidget *parent = nullptr);
    ~AlertController() override;

    using QWidget::show;

    // Presents an alert with `message` over the root of the window `from` is
    // in (nothing when it is in none) at once. With `dismissNext`, closing it
    // also closes the screen beneath.
    static void show(const QObject *from, const QString &message, bool dismissNext);
    static void show(const QObject *from, const Error &error);
    // Shows the first sentence of `message` on the next turn of the event loop,
    // in the window `from` is in now.
    static void post(const QObject *from, const QString &message, bool dismissNext);

    // The text before the first "." that ends a sentence (one followed by white
    // space or the end of the text); the whole text when there is none. A dot
    // inside a host name or a version number does not end a sentence.
    static QString firstSentence(const QString &message);

    QString message() const { return m_message; }
    void setMessage(const QString &message);
    bool dismissNext() const { return m_dismissNext; }
    void setDismissNext(bool dismissNext) { m_dismissNext = dismissNext; }

    void buttonAction();

protected:
    void viewDidLoad() override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    Ui::AlertController *m_ui;
    QString m_message;
    bool m_dismissNext = false;
};

} // namespace Orvex
