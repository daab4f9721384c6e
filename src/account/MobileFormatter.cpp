#include "MobileFormatter.h"

#include <QLineEdit>

#include <charconv>

namespace Orvex {

MobileFormatter::MobileFormatter(QLineEdit *field)
    : QValidator(field)
    , m_original(field->text())
{
    // Called after every change the field keeps (a refused edit is rolled back
    // without one), so this is always the text an edit starts from.
    connect(field, &QLineEdit::textChanged, this, [this](const QString &text) { m_original = text; });
}

bool MobileFormatter::isPartialStringValid(const QString &proposed, int selectionStart,
                                           const QString &original)
{
    if (proposed.isEmpty())
        return true;
    if (proposed.size() < original.size())
        return true;
    if (original.size() >= mobileNumberLength)
        return false;
    const QChar plus(u'+');
    if (!original.contains(plus) && proposed.contains(plus) && selectionStart == 1)
        return true;
    return integerValue(proposed).has_value();
}

std::optional<qint64> MobileFormatter::integerValue(const QString &text)
{
    qsizetype start = 0;
    if (!text.isEmpty() && (text.front() == u'+' || text.front() == u'-'))
        start = 1;
    if (start == text.size())
        return std::nullopt;
    for (qsizetype i = start; i < text.size(); ++i) {
        if (text.at(i) < u'0' || text.at(i) > u'9')
            return std::nullopt;
    }
    // Only ASCII is left, so Latin-1 is the same text.
    const QByteArray digits = text.mid(text.front() == u'-' ? 0 : start).toLatin1();
    qint64 value = 0;
    const auto [end, error] = std::from_chars(digits.constData(), digits.constData() + digits.size(), value);
    if (error != std::errc() || end != digits.constData() + digits.size())
        return std::nullopt;
    return value;
}

QValidator::State MobileFormatter::validate(QString &input, int &pos) const
{
    // The field also asks about its unchanged text (before Enter is passed
    // on, for instance); that is no edit and is never refused.
    if (input == m_original)
        return Acceptable;
    return isPartialStringValid(input, pos, m_original) ? Acceptable : Invalid;
}

} // namespace Orvex
