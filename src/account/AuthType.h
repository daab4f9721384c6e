#pragma once

namespace Orvex {

// What the sign-in screen is for.
enum class AuthType { signIn, signUp, autoSignIn };

} // namespace Orvex
