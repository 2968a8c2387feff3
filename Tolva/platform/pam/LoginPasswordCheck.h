// The PAM conversation that checks the login password of the current user. It runs in a short-lived
// helper process (the program started again with `helperArgument`), so a module that hangs or
// crashes takes only the helper with it; PamLoginPasswordVerifier starts it and keeps the time.
#pragma once

#include <string>
#include <string_view>

namespace tolva {

namespace LoginPasswordCheck {

// The argument that turns the program into the helper: `tolva-screen --login-password-check SERVICE`.
// The helper reads the password from standard input (up to end of file), writes the PAM return
// code as one decimal line to standard output and exits 0.
inline constexpr std::string_view helperArgument = "--login-password-check";

// Longest password read from the helper's input; longer input is refused unread.
inline constexpr std::size_t maxPasswordBytes = 4096;

// pam_start with `service` and `user`, a conversation that answers one hidden prompt with
// `password` and refuses every other question, pam_authenticate, then pam_acct_mgmt. Returns the
// first PAM code that is not PAM_SUCCESS (or PAM_SUCCESS). `password` is wiped before returning.
int authenticate(const std::string& service, const std::string& user, std::string& password);

// The helper's whole run: arguments after `helperArgument`, standard input and output.
int runHelper(int argc, char** argv);

// The name of the user this process runs as (from the password database), or empty.
std::string currentUserName();

} // namespace LoginPasswordCheck

} // namespace tolva
