#pragma once

#include <QMainWindow>
#include <QPointer>

#include <functional>

namespace Orvex {

struct AppContext;
class ViewController;

// The main window. Its content is one root screen; everything else is
// presented over it, or as a modal window that belongs to it. It picks the
// first screen from the session store. Every screen in it is made from its
// context, and paces its pauses by the context's pace.
class WindowController final : public QMainWindow
{
    Q_OBJECT

public:
    explicit WindowController(const AppContext &context, QWidget *parent = nullptr);
    ~WindowController() override;

    // The window `object` is in: `object` itself, or the first window among
    // its parents (a screen over the root, a modal window's screen, a
    // screen's handler, the window's menu bar). Null when it is in none.
    static WindowController *of(const QObject *object);

    const AppContext &context() const { return m_context; }

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

private:
    const AppContext &m_context;
};

} // namespace Orvex
