#pragma once

#include <QPointer>
#include <QString>
#include <QValidator>

#include <optional>

class QLineEdit;

namespace Orvex {

// The typing filter of the phone number field. An edit is judged on the text
// it proposes and the text before it, first rule that decides:
//  1. an empty text is accepted;
//  2. a deletion (fewer characters than before) is accepted;
//  3. nothing more is accepted once the field holds mobileNumberLength (9)
//     characters;
//  4. a "+" typed as the first character is accepted;
//  5. otherwise the whole text must be a decimal integer: an optional "+" or
//     "-", then digits, within the signed 64-bit range.
// A refused edit leaves the field as it was.
class MobileFormatter final : public QValidator
{
    Q_OBJECT

public:
    // Follows `field`'s text to know the text before each edit.
    explicit MobileFormatter(QLineEdit *field);

    static constexpr int mobileNumberLength = 9;

    // The rules above. `selectionStart` is where the caret stands after the edit.
    static bool isPartialStringValid(const QString &proposed, int selectionStart, const QString &original);

    // `text` as a whole read as a signed 64-bit decimal integer: an optional
    // sign, then ASCII digits only; no spaces, nothing after the number.
    static std::optional<qint64> integerValue(const QString &text);

    State validate(QString &input, int &pos) const override;

private:
    QString m_original;
};

} // namespace Orvex
