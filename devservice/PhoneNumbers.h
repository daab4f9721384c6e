#pragma once

#include <string>

namespace OrvexDev {

// What libphonenumber makes of a number written in international form.
struct PhoneNumberCheck
{
    bool parsed = false;
    bool valid = false;
    bool mobile = false; // mobile, or a region where the plan cannot tell (e.g. +1)
    std::string region;  // ISO 3166 code, e.g. "FR"
    std::string e164;    // "+33612345678"
    std::string kind;    // "mobile", "fixed line", ...
};

PhoneNumberCheck checkPhoneNumber(const std::string &number);

} // namespace OrvexDev
