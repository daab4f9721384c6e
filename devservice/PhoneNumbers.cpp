#include "PhoneNumbers.h"

#include <phonenumbers/phonenumberutil.h>

namespace OrvexDev {

using i18n::phonenumbers::PhoneNumber;
using i18n::phonenumbers::PhoneNumberUtil;

PhoneNumberCheck checkPhoneNumber(const std::string &number)
{
    PhoneNumberCheck check;
    const PhoneNumberUtil *util = PhoneNumberUtil::GetInstance();
    PhoneNumber parsed;
    // "ZZ": no home region, so only numbers with their country code are taken.
    if (number.empty() || number.size() > 40
        || util->Parse(number, "ZZ", &parsed) != PhoneNumberUtil::NO_PARSING_ERROR)
        return check;
    check.parsed = true;
    check.valid = util->IsValidNumber(parsed);
    util->GetRegionCodeForNumber(parsed, &check.region);
    util->Format(parsed, PhoneNumberUtil::E164, &check.e164);
    switch (util->GetNumberType(parsed)) {
    case PhoneNumberUtil::MOBILE:
        check.kind = "mobile";
        check.mobile = true;
        break;
    case PhoneNumberUtil::FIXED_LINE_OR_MOBILE:
        check.kind = "fixed line or mobile";
        check.mobile = true;
        break;
    case PhoneNumberUtil::FIXED_LINE:
        check.kind = "fixed line";
        break;
    case PhoneNumberUtil::TOLL_FREE:
        check.kind = "toll free";
        break;
    case PhoneNumberUtil::PREMIUM_RATE:
        check.kind = "premium rate";
        break;
    case PhoneNumberUtil::VOIP:
        check.kind = "voip";
        break;
    default:
        check.kind = "other";
        break;
    }
    check.mobile = check.mobile && check.valid;
    return check;
}

} // namespace OrvexDev
