#pragma once

// The entry points of the phone-number module (see PhoneNumberModule.cpp);
// platform/Countries opens it and looks them up by these names.

#define ORVEX_PHONE_EXPORT __attribute__((visibility("default")))

extern "C" {

// Called once per region that has a calling code: ISO 3166 code, calling code.
typedef void (*OrvexPhoneRegion)(void *context, const char *region, int code);

// Every region libphonenumber knows a calling code for, in code order.
typedef void (*OrvexPhoneRegionsFunction)(OrvexPhoneRegion each, void *context);
// The region's calling code; 0 or less when it has none.
typedef int (*OrvexPhoneCodeFunction)(const char *region);

ORVEX_PHONE_EXPORT void orvex_phone_regions(OrvexPhoneRegion each, void *context);
ORVEX_PHONE_EXPORT int orvex_phone_code(const char *region);
}
