#include "InputValidator.h"

#include <unicode/brkiter.h>
#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <memory>

namespace Orvex {

namespace {

// A read-only view of the text's UTF-16 for ICU; valid while `text` lives.
icu::UnicodeString view(const QString &text)
{
    return icu::UnicodeString(false, reinterpret_cast<const UChar *>(text.utf16()), int32_t(text.size()));
}

bool isEmail(const QString &text)
{
    // Compiled once; every check gets a matcher of its own. ICU is the engine
    // whose \S the pattern was written for.
    static const std::unique_ptr<icu::RegexPattern> pattern = [] {
        UParseError parseError;
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::RegexPattern> compiled(
            icu::RegexPattern::compile(icu::UnicodeString(u"\\S+@\\S+\\.[A-Za-z0-9]{2,}"), 0, parseError,
                                       status));
        return U_SUCCESS(status) ? std::move(compiled) : nullptr;
    }();
    if (!pattern)
        return false;
    const icu::UnicodeString input = view(text);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(input, status));
    if (U_FAILURE(status))
        return false;
    const bool matches = matcher->matches(status); // the whole text, not a part of it
    return U_SUCCESS(status) && matches;
}

} // namespace

qsizetype InputValidator::characterCount(const QString &text)
{
    if (text.isEmpty())
        return 0;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> characters(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !characters)
        return text.size();
    const icu::UnicodeString input = view(text);
    characters->setText(input);
    qsizetype count = 0;
    characters->first();
    while (characters->next() != icu::BreakIterator::DONE)
        ++count;
    return count;
}

bool InputValidator::isValid(const QString &text) const
{
    switch (m_kind) {
    case email:
        return isEmail(text);
    case password:
        return characterCount(text) > 4;
    case mobile:
        return characterCount(text) == 9;
    }
    return false;
}

} // namespace Orvex
