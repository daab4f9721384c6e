#pragma once

#include "account/TextField.h"

namespace Orvex {

class MobileFormatter;

// The phone number field: a TextField whose typing is filtered by a
// MobileFormatter (digits, a leading "+", no more once nine are there).
class MobileTextField final : public TextField
{
    Q_OBJECT

public:
    explicit MobileTextField(QWidget *parent = nullptr);

    MobileFormatter *formatter() const { return m_formatter; }

private:
    MobileFormatter *m_formatter;
};

} // namespace Orvex
