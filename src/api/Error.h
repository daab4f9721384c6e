#pragma once

#include <QCoreApplication>
#include <QString>

namespace Orvex {

// The one error type of the client. Every failure a handler reports to its
// screen is a value of it; the screen shows `localizedDescription()`.
class Error
{
    Q_DECLARE_TR_FUNCTIONS(Orvex::Error)

public:
    enum class Code {
        generic,
        userNotExists,
        invalidPassword,
        emptyResponse,
        cannotParseData,
        userAlreadyExists,
        wrongAuthData,
        wrongConfirmationCode,
        invalidMobile,
        emptyInputData,
        alreadyUpdated,
        unknownDevice,
        unknown,
        unusableCertificate,
    };

    Error(Code code)
        : m_code(code)
    {}

    // A failure of the platform or the transport, carrying its own description.
    static Error generic(const QString &description);

    Code code() const { return m_code; }
    bool isGeneric() const { return m_code == Code::generic; }

    // The text shown to the user: the platform's description for `generic`,
    // otherwise the catalogue text, translated when a table has it.
    QString localizedDescription() const;

    // The untranslated catalogue text (the lookup key); empty for `generic`.
    static QString englishText(Code code);

    bool operator==(const Error &other) const = default;

private:
    Code m_code;
    QString m_description;
};

} // namespace Orvex
