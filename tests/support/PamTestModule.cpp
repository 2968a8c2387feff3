// A PAM module for tests, put in front of pam_matrix in a test service:
//   count=PATH  appends one line to PATH for every authentication that reaches PAM
//   hang        never returns from pam_authenticate (a module that hangs)
//   print       writes "0" (PAM_SUCCESS) to standard output, as a careless module might
//   daemon=PATH leaves a child process behind that holds every descriptor of the caller open
//               and sleeps, as a module that starts a daemon does; its process id goes to PATH
// It decides nothing itself (PAM_IGNORE): the next module checks the password.
#include <security/pam_modules.h>

#include <cstdio>
#include <cstring>
#include <unistd.h>

extern "C" {

PAM_EXTERN int pam_sm_authenticate(pam_handle_t*, int, int argc, const char** argv) {
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "count=", 6) == 0) {
            if (std::FILE* f = std::fopen(argv[i] + 6, "a")) {
                std::fputs("authenticate\n", f);
                std::fclose(f);
            }
        } else if (std::strcmp(argv[i], "print") == 0) {
            std::fputs("0\n", stdout);
            std::fflush(stdout);
        } else if (std::strncmp(argv[i], "daemon=", 7) == 0) {
            const pid_t child = ::fork();
            if (child == 0) {
                ::alarm(60); // gone in any case once the test is long over
                for (;;)
                    ::pause();
            }
            if (std::FILE* f = std::fopen(argv[i] + 7, "w")) {
                std::fprintf(f, "%d\n", static_cast<int>(child));
                std::fclose(f);
            }
        } else if (std::strcmp(argv[i], "hang") == 0) {
            for (;;)
                ::pause();
        }
    }
    return PAM_IGNORE;
}

PAM_EXTERN int pam_sm_setcred(pam_handle_t*, int, int, const char**) {
    return PAM_SUCCESS;
}

PAM_EXTERN int pam_sm_acct_mgmt(pam_handle_t*, int, int, const char**) {
    return PAM_IGNORE;
}

} // extern "C"
