#include "MobileTextField.h"

#include "account/MobileFormatter.h"

namespace Orvex {

MobileTextField::MobileTextField(QWidget *parent)
    : TextField(parent)
    , m_formatter(new MobileFormatter(this))
{
    QLineEdit::setValidator(m_formatter);
    setInputMethodHints(Qt::ImhDialableCharactersOnly);
}

} // namespace Orvex
