#pragma once

#include "account/SecureTextField.h"

namespace Orvex {

// The password field of forms laid out in pixels; it behaves exactly like
// SecureTextField.
class PxSecureTextField final : public SecureTextField
{
    Q_OBJECT

public:
    using SecureTextField::SecureTextField;
};

} // namespace Orvex
