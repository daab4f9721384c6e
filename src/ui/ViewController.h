#pragma once

#include <QPointer>
#include <QWidget>

#include <memory>

#include <QDialog>

namespace Orvex {

class SegueAnimator;

// A screen: a widget that can present other screens over itself (their views
// become its children, animated in by a SegueAnimator) or as modal windows,
// and dismiss them again.
class ViewController : public QWidget
{
    Q_OBJECT

public:
    explicit ViewController(QWidget *parent = nullptr);
    ~ViewController() override;

    // Runs viewDidLoad() once; the registry calls it right after creation so
    // that overrides run on a fully constructed object.
    void loadViewIfNeeded();

    // The class name without namespace: the screen's identifier.
    QString identifier() const;

    QString title() const { return m_title; }
    void setTitle(const QString &title);

    ViewController *presentingViewController() const { return m_presenting; }
    QList<ViewController *> presentedViewControllers() const;
    bool isPresentedAsModalWindow() const { return m_dialog != nullptr; }
    QDialog *modalWindow() const { return m_dialog; }

    // Presents `controller` over this screen; `visualHost` is the widget its
    // view is placed in (this screen unless a modal window is in front).
    void present(ViewController *controller, std::unique_ptr<SegueAnimator> animator,
                 QWidget *visualHost = nullptr);
    void presentAsModalWindow(ViewController *controller);
    // Dismisses a screen this one presents; anything else is ignored.
    void dismissController(ViewController *controller);
    // Dismisses this screen through its presenter.
    void dismiss();

    // Forgets the presenter: the screen has become a window's root.
    void detachFromPresenter();

    // Called when a screen above this one has gone, so it can refresh.
    virtual void viewWillAppear() {}

protected:
    virtual void viewDidLoad() {}

private:
    void forget(ViewController *controller);

    bool m_loaded = false;
    QString m_title;
    QPointer<ViewController> m_presenting;
    QList<QPointer<ViewController>> m_presented;
    std::unique_ptr<SegueAnimator> m_animator;
    QPointer<QDialog> m_dialog;
};

} // namespace Orvex
