#pragma once

#include <QMainWindow>
#include <QPointer>

#include <functional>

namespace Orvex {

class ViewController;

// The main window. Its content is one root screen; everything else is
// presented over it. It picks the first screen from the session store.
class WindowController final : public QMainWindow
{
    Q_OBJECT

public:
    explicit WindowController(QWidget *parent = nullptr);
    ~WindowController() override;

    // The one main window of the process, if it exists.
    static WindowController *main();

    ViewController *contentViewController() const;
    // Makes `screen` the root; the old root, and everything it presented, go.
    void setContentViewController(ViewController *screen);

    // Chooses the first screen: automatic sign-in when a session is stored,
    // else the start screen.
    void windowDidLoad();

    // Shows the window, raises it and gives it the focus.
    void bringForward();

    // What closing the window does where no tray can bring it back: the
    // client's quit sequence (QApplication::quit until one is set).
    std::function<void()> quitApplication;

    static constexpr QSize contentSize{400, 620};

protected:
    void closeEvent(QCloseEvent *event) override;
};

} // namespace Orvex
