#include "SecureTextField.h"

namespace Orvex {

SecureTextField::SecureTextField(QWidget *parent)
    : BaseTextField(parent)
{
    setEchoMode(QLineEdit::Password);
}

} // namespace Orvex
