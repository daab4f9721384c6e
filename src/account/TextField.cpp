#include "TextField.h"

#include <QApplication>
#include <QKeyEvent>

namespace Orvex {

TextField::TextField(QWidget *parent)
    : BaseTextField(parent)
{}

std::optional<TextField::EditAction> TextField::editAction(const QKeyEvent *event) const
{
    // Only the modifiers a user holds count; a key of the number pad is not
    // the letter's shortcut.
    const Qt::KeyboardModifiers held = event->modifiers()
                                       & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier
                                          | Qt::MetaModifier | Qt::KeypadModifier);
    if (held == commandKey) {
        switch (event->key()) {
        case Qt::Key_X:
            return EditAction::cut;
        case Qt::Key_C:
            return EditAction::copy;
        case Qt::Key_V:
            return EditAction::paste;
        case Qt::Key_Z:
            return EditAction::undo;
        case Qt::Key_A:
            return EditAction::selectAll;
        default:
            return std::nullopt;
        }
    }
    if (held == commandShiftKey && event->key() == Qt::Key_Z)
        return EditAction::redo;
    return std::nullopt;
}

bool TextField::sendEditAction(EditAction action, QWidget *target)
{
    auto *field = qobject_cast<QLineEdit *>(target);
    if (!field)
        return false;
    switch (action) {
    case EditAction::cut:
        field->cut();
        break;
    case EditAction::copy:
        field->copy();
        break;
    case EditAction::paste:
        field->paste();
        break;
    case EditAction::undo:
        field->undo();
        break;
    case EditAction::redo:
        field->redo();
        break;
    case EditAction::selectAll:
        field->selectAll();
        break;
    }
    return true;
}

bool TextField::event(QEvent *event)
{
    // A shortcut override claims the key before window shortcuts see it; the
    // key press that follows performs the action.
    if (event->type() == QEvent::ShortcutOverride || event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (const std::optional<EditAction> action = editAction(key)) {
            QWidget *focused = QApplication::focusWidget();
            const bool handled = event->type() == QEvent::ShortcutOverride
                                     ? qobject_cast<QLineEdit *>(focused) != nullptr
                                     : sendEditAction(*action, focused);
            if (handled) {
                event->accept();
                return true;
            }
        }
    }
    return BaseTextField::event(event);
}

} // namespace Orvex
