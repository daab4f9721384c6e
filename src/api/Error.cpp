#include "Error.h"

namespace Orvex {

namespace {

struct Entry
{
    Error::Code code;
    const char *text;
};

// The English text is the lookup key; the identifier is the translator comment.
const Entry catalogue[] = {
    //: user_not_exist
    {Error::Code::userNotExists, QT_TRANSLATE_NOOP("Orvex::Error", "User with given email doesn't exist")},
    //: invalid_password
    {Error::Code::invalidPassword, QT_TRANSLATE_NOOP("Orvex::Error", "Wrong email or password")},
    //: empty_response
    {Error::Code::emptyResponse,
     QT_TRANSLATE_NOOP("Orvex::Error", "Empty response from server. Please, contact support")},
    //: cannot_parse_data
    {Error::Code::cannotParseData,
     QT_TRANSLATE_NOOP("Orvex::Error", "Cannot parse response. Please, contact support")},
    //: user_already_exist
    {Error::Code::userAlreadyExists,
     QT_TRANSLATE_NOOP("Orvex::Error", "User with given email already exists")},
    //: wrong_auth_data
    {Error::Code::wrongAuthData, QT_TRANSLATE_NOOP("Orvex::Error", "Please, enter valid data")},
    //: wrong_confirmation_code
    {Error::Code::wrongConfirmationCode, QT_TRANSLATE_NOOP("Orvex::Error", "Wrong confirmation code")},
    //: invalid_mobile
    {Error::Code::invalidMobile, QT_TRANSLATE_NOOP("Orvex::Error", "Invalid mobile number")},
    //: invalid_mobile
    {Error::Code::emptyInputData, QT_TRANSLATE_NOOP("Orvex::Error", "Please, fill in all fields")},
    //: already_updated_error
    {Error::Code::alreadyUpdated, QT_TRANSLATE_NOOP("Orvex::Error", "You already have the latest software")},
    //: unknown_device
    {Error::Code::unknownDevice, QT_TRANSLATE_NOOP("Orvex::Error", "Device does not exists")},
    //: unknown
    {Error::Code::unknown, QT_TRANSLATE_NOOP("Orvex::Error", "Unknown error. Please, contact support")},
    //: unusable_certificate
    {Error::Code::unusableCertificate,
     QT_TRANSLATE_NOOP("Orvex::Error", "The server sent a certificate that cannot be used.")},
};

} // namespace

Error Error::generic(const QString &description)
{
    Error error(Code::generic);
    error.m_description = description;
    return error;
}

QString Error::englishText(Code code)
{
    for (const Entry &entry : catalogue) {
        if (entry.code == code)
            return QString::fromUtf8(entry.text);
    }
    return {};
}

QString Error::localizedDescription() const
{
    if (m_code == Code::generic)
        return m_description;
    for (const Entry &entry : catalogue) {
        if (entry.code == m_code)
            return tr(entry.text);
    }
    return {};
}

} // namespace Orvex
