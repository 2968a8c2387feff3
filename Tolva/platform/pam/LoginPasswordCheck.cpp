// The PAM conversation of the login-password helper process.
#include "platform/pam/LoginPasswordCheck.h"

#include "TolvaCore/SecretText.h"

#include <security/pam_appl.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <string.h>
#include <unistd.h>

namespace tolva::LoginPasswordCheck {

namespace {

struct Conversation {
    const std::string* password = nullptr;
    bool answered = false;
};

// Answers the first hidden prompt with the password. Anything else that asks for an answer (a
// visible prompt, a second secret such as a one-time code) gets none: the conversation fails and
// the module decides, so the typed text never goes where it was not asked for.
int converse(int count, const struct pam_message** messages, struct pam_response** responses, void* data) {
    auto* conversation = static_cast<Conversation*>(data);
    if (count <= 0 || count > PAM_MAX_NUM_MSG)
        return PAM_CONV_ERR;
    auto* replies =
        static_cast<pam_response*>(std::calloc(static_cast<std::size_t>(count), sizeof(pam_response)));
    if (replies == nullptr)
        return PAM_BUF_ERR;
    bool refused = false;
    for (int i = 0; i < count && !refused; ++i) {
        switch (messages[i]->msg_style) {
        case PAM_PROMPT_ECHO_OFF:
            if (!conversation->answered)
                replies[i].resp = ::strdup(conversation->password->c_str());
            refused = replies[i].resp == nullptr;
            conversation->answered = true;
            break;
        case PAM_ERROR_MSG:
        case PAM_TEXT_INFO:
            break; // nobody reads them: the unlock panel shows its own texts
        default:
            refused = true;
        }
    }
    if (!refused) {
        *responses = replies;
        return PAM_SUCCESS;
    }
    for (int i = 0; i < count; ++i) {
        if (replies[i].resp != nullptr) {
            ::explicit_bzero(replies[i].resp, std::strlen(replies[i].resp));
            std::free(replies[i].resp);
        }
    }
    std::free(replies);
    return PAM_CONV_ERR;
}

} // namespace

std::string currentUserName() {
    const passwd* entry = ::getpwuid(::getuid());
    return entry != nullptr && entry->pw_name != nullptr ? std::string(entry->pw_name) : std::string();
}

int authenticate(const std::string& service, const std::string& user, std::string& password) {
    Conversation conversation{&password, false};
    const pam_conv conv{converse, &conversation};
    pam_handle_t* handle = nullptr;
    int rc = ::pam_start(service.c_str(), user.c_str(), &conv, &handle);
    if (rc == PAM_SUCCESS) {
        // An account without a password must not open the overlay with an empty entry.
        rc = ::pam_authenticate(handle, PAM_DISALLOW_NULL_AUTHTOK);
        if (rc == PAM_SUCCESS)
            rc = ::pam_acct_mgmt(handle, PAM_DISALLOW_NULL_AUTHTOK);
    }
    if (handle != nullptr)
        ::pam_end(handle, rc);
    wipe(password);
    return rc;
}

int runHelper(int argc, char** argv) {
    if (argc < 1 || argv[0] == nullptr || argv[0][0] == '\0')
        return 2;
    const std::string service = argv[0];
    std::string password;
    password.reserve(maxPasswordBytes + 1); // no reallocation: no stray copies on the heap
    char buffer[512];
    for (;;) {
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        if (password.size() + static_cast<std::size_t>(got) > maxPasswordBytes) {
            ::explicit_bzero(buffer, sizeof buffer);
            wipe(password);
            const std::string line = std::to_string(PAM_AUTH_ERR) + "\n";
            return ::write(STDOUT_FILENO, line.data(), line.size()) == static_cast<ssize_t>(line.size()) ? 0
                                                                                                         : 1;
        }
        password.append(buffer, static_cast<std::size_t>(got));
    }
    ::explicit_bzero(buffer, sizeof buffer);
    // The answer gets a descriptor of its own: whatever a module prints goes to standard error,
    // and a program a module starts does not get the answer's descriptor.
    const int answer = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    ::dup2(STDERR_FILENO, STDOUT_FILENO);
    const int rc = authenticate(service, currentUserName(), password);
    const std::string line = std::to_string(rc) + "\n";
    return answer >= 0 && ::write(answer, line.data(), line.size()) == static_cast<ssize_t>(line.size()) ? 0
                                                                                                         : 1;
}

} // namespace tolva::LoginPasswordCheck
