#pragma once

#include <QString>

namespace Orvex {

// The rule a text field's content must meet before a screen sends it. Fields
// only carry their rule; the screens ask it.
class InputValidator
{
public:
    enum Kind { email, password, mobile };

    constexpr InputValidator(Kind kind)
        : m_kind(kind)
    {}

    Kind kind() const { return m_kind; }

    // email: the whole text matches \S+@\S+\.[A-Za-z0-9]{2,} with ICU's
    //        meaning of \S (anything but tab, line feed, form feed, carriage
    //        return and the Unicode space separators);
    // password: at least 5 characters;
    // mobile: exactly 9 characters.
    // Characters are what the user sees as one (extended grapheme clusters): an
    // emoji with its modifiers, or a letter with combining marks, counts once.
    bool isValid(const QString &text) const;

    // The number of user-perceived characters in `text`.
    static qsizetype characterCount(const QString &text);

    bool operator==(const InputValidator &) const = default;

private:
    Kind m_kind;
};

} // namespace Orvex
