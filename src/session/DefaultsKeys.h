#pragma once

#include <QLatin1String>

// The keys of the per-user defaults store (UserDefaults).
namespace Orvex::DefaultsKeys {

// Session: the signed-in account. Removed at sign-out except "name" and
// "smsCode". The password and the certificate live elsewhere (see Session).
inline constexpr QLatin1String tempEmail("tempEmail"); // text: account e-mail as typed
inline constexpr QLatin1String phone("phone");         // text: mobile number
inline constexpr QLatin1String name("name");           // text: name given at sign-up
inline constexpr QLatin1String smsCode("smsCode");     // text: last code sent by SMS

// Left by earlier versions, which kept secrets here: read once to move them
// out (Session::load), never written.
inline constexpr QLatin1String password("password");       // text: account password
inline constexpr QLatin1String certificate("certificate"); // bytes: the PKCS#12 archive

// Sign-out: set while the secret store has not confirmed that the account's
// password is gone; the next start removes it before anything else.
inline constexpr QLatin1String secretRemovalPending("secretRemovalPending"); // boolean

// Settings: kept across sign-out.
inline constexpr QLatin1String isLaunchedBefore("isLaunchedBefore");         // boolean
inline constexpr QLatin1String isAutoConnectEnabled("isAutoConnectEnabled"); // boolean
inline constexpr QLatin1String isAutoStartEnabled("isAutoStartEnabled");     // boolean
// boolean; absent counts as true (notifications are on until switched off)
inline constexpr QLatin1String isNotificationsEnabled("isNotificationsEnabled");
// boolean; absent counts as false: with it on, traffic is blocked while the
// VPN is off too, but for the service's own API
inline constexpr QLatin1String isBlockWhenDisconnectedEnabled("isBlockWhenDisconnectedEnabled");

} // namespace Orvex::DefaultsKeys
