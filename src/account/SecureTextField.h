#pragma once

#include "account/BaseTextField.h"

namespace Orvex {

// A password field: the text is shown as dots, and the toolkit's own editing
// shortcuts apply (which never copy or cut a hidden text).
class SecureTextField : public BaseTextField
{
    Q_OBJECT

public:
    explicit SecureTextField(QWidget *parent = nullptr);
};

} // namespace Orvex
