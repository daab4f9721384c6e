#pragma once

#include "account/BaseTextField.h"

class QKeyEvent;

namespace Orvex {

// The account screens' plain text field. It handles the editing shortcuts
// itself, so they work the same under every desktop's key scheme and before
// any window shortcut sees them: Control + X, C, V, Z, A cut, copy, paste,
// undo and select all, and Control + Shift + Z redoes, acting on the focused
// field's text and undo history. Any other combination (Control + Alt + Z, a
// key of the number pad, ...) is left to the toolkit.
class TextField : public BaseTextField
{
    Q_OBJECT

public:
    enum class EditAction { cut, copy, paste, undo, redo, selectAll };

    explicit TextField(QWidget *parent = nullptr);

    // The modifier sets of the shortcuts: this platform's command key is
    // Control.
    Qt::KeyboardModifiers commandKey = Qt::ControlModifier;
    Qt::KeyboardModifiers commandShiftKey = Qt::ControlModifier | Qt::ShiftModifier;

    // The editing action a key press stands for, if any.
    std::optional<EditAction> editAction(const QKeyEvent *event) const;

    // Performs `action` on `target` when it is a text field; false when nobody
    // could perform it.
    static bool sendEditAction(EditAction action, QWidget *target);

protected:
    bool event(QEvent *event) override;
};

} // namespace Orvex
