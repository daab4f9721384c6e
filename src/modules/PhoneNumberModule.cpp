// The phone screen's calling codes, from libphonenumber. Kept out of the
// client's binary and opened only when the country list is first asked for:
// libphonenumber brings protobuf and abseil with it, whose loading and static
// set-up every start would otherwise pay for a screen most starts never show.
// Plain C entry points, so nothing of C++'s library crosses the boundary.

#include "modules/PhoneNumberModule.h"

#include <phonenumbers/logger.h>
#include <phonenumbers/phonenumberutil.h>

#include <set>
#include <string>

namespace {

using i18n::phonenumbers::PhoneNumberUtil;

const PhoneNumberUtil &phoneNumberUtil()
{
    // The library reports problems on stdout by default; the client prints
    // nothing, so give it a logger that drops them.
    static const PhoneNumberUtil *util = [] {
        PhoneNumberUtil *instance = PhoneNumberUtil::GetInstance();
        instance->SetLogger(new i18n::phonenumbers::NullLogger);
        return instance;
    }();
    return *util;
}

} // namespace

extern "C" {

ORVEX_PHONE_EXPORT void orvex_phone_regions(OrvexPhoneRegion each, void *context)
{
    std::set<std::string> regions;
    phoneNumberUtil().GetSupportedRegions(&regions);
    for (const std::string &region : regions) {
        const int code = phoneNumberUtil().GetCountryCodeForRegion(region);
        if (code > 0)
            each(context, region.c_str(), code);
    }
}

ORVEX_PHONE_EXPORT int orvex_phone_code(const char *region)
{
    return phoneNumberUtil().GetCountryCodeForRegion(region);
}

} // extern "C"
