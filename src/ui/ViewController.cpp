#include "ViewController.h"

#include "ui/SegueAnimator.h"

#include <QCloseEvent>
#include <QDialog>
#include <QPointer>
#include <QVBoxLayout>

namespace Orvex {

ViewController::ViewController(QWidget *parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_StyledBackground, true);
    setAutoFillBackground(true);
}

ViewController::~ViewController() = default;

void ViewController::loadViewIfNeeded()
{
    if (m_loaded)
        return;
    m_loaded = true;
    viewDidLoad();
}

QString ViewController::identifier() const
{
    const QString name = QString::fromLatin1(metaObject()->className());
    const int colons = name.lastIndexOf(QLatin1String("::"));
    return colons < 0 ? name : name.mid(colons + 2);
}

void ViewController::setTitle(const QString &title)
{
    m_title = title;
    if (m_dialog)
        m_dialog->setWindowTitle(title);
}

QList<ViewController *> ViewController::presentedViewControllers() const
{
    QList<ViewController *> list;
    for (const auto &p : m_presented) {
        if (p)
            list.append(p);
    }
    return list;
}

void ViewController::present(ViewController *controller, std::unique_ptr<SegueAnimator> animator,
                             QWidget *visualHost)
{
    controller->loadViewIfNeeded();
    controller->m_presenting = this;
    m_presented.append(controller);
    SegueAnimator *a = animator.get();
    controller->m_animator = std::move(animator);
    a->animatePresentation(controller, visualHost ? visualHost : this);
}

void ViewController::presentAsModalWindow(ViewController *controller)
{
    controller->loadViewIfNeeded();
    controller->m_presenting = this;
    m_presented.append(controller);

    // Where the screen put the focus when it was set up (the field a person
    // types in): moving the screen into the dialog clears it, so it is given
    // back there.
    const QPointer<QWidget> chosenFocus = controller->focusWidget();

    auto *dialog = new QDialog(window());
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setWindowTitle(controller->title());
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    auto *layout = new QVBoxLayout(dialog);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(controller);
    controller->m_dialog = dialog;
    controller->show();
    if (chosenFocus && controller->isAncestorOf(chosenFocus))
        chosenFocus->setFocus(Qt::OtherFocusReason);
    // Closing the window (its close button, Escape) dismisses the screen.
    connect(dialog, &QDialog::finished, this, [this, controller = QPointer<ViewController>(controller)] {
        if (controller)
            dismissController(controller);
    });
    dialog->adjustSize();
    dialog->setFixedSize(dialog->sizeHint().expandedTo(controller->minimumSizeHint()));
    dialog->open();
}

void ViewController::forget(ViewController *controller)
{
    m_presented.removeIf([controller](const QPointer<ViewController> &p) { return !p || p == controller; });
}

void ViewController::dismissController(ViewController *controller)
{
    if (!controller || !m_presented.contains(controller))
        return;
    forget(controller);
    controller->m_presenting = nullptr;

    if (QDialog *dialog = controller->m_dialog) {
        controller->m_dialog = nullptr;
        dialog->disconnect(this);
        dialog->close(); // deletes the dialog and the screen inside it
        // The presenter stayed on screen behind the window: it does not
        // appear again, so it is not told it will.
        return;
    }
    if (controller->m_animator) {
        controller->m_animator->animateDismissal(controller, this);
        return;
    }
    controller->deleteLater();
    viewWillAppear();
}

void ViewController::detachFromPresenter()
{
    if (m_presenting)
        m_presenting->forget(this);
    m_presenting = nullptr;
    m_animator.reset();
}

void ViewController::dismiss()
{
    if (m_presenting)
        m_presenting->dismissController(this);
}

} // namespace Orvex
