// The login password through the real PAM library (pam_wrapper with pam_matrix and a test
// module), checked by the program's own helper process.
#include "log/Log.h"
#include "support/LockRig.h"
#include "support/PamTestService.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <future>
#include <map>
#include <regex>

using namespace tolva;
using namespace tolva::test;
using namespace std::chrono_literals;

namespace {

bool matches(const std::string& line, const std::string& pattern) {
    return std::regex_match(line, std::regex(pattern));
}

void typeText(LockRig& rig, const std::string& text) {
    for (char c : text)
        rig.tapKey(0, std::string(1, c));
}

} // namespace

TEST(PamLoginPasswordVerifier, RightPasswordAcceptedWrongOneRejectedWithThePamCode) {
    ScopedLogCapture log;
    PamTestService pam;
    pam.writeService();
    auto verifier = pam.verifier();
    EXPECT_EQ(verifier->service(), "tolva-screen");
    EXPECT_TRUE(verifier->isAvailable());

    std::string right = PamTestService::password;
    const char* bytes = right.data();
    const std::size_t size = right.size();
    EXPECT_TRUE(verifier->verify(right));
    EXPECT_TRUE(right.empty());
    EXPECT_EQ(std::string(bytes, size), std::string(size, '\0')) << "the typed text is wiped after use";

    std::string wrong = "correct horse 43";
    EXPECT_FALSE(verifier->verify(wrong));
    EXPECT_TRUE(wrong.empty());

    const auto lines = log.messages("auth");
    ASSERT_EQ(lines.size(), 3u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[0], "login password service=tolva-screen") << "the choice is logged once";
    EXPECT_TRUE(matches(lines[1], R"(login password accepted in \d+\.\d{3}s)")) << lines[1];
    EXPECT_TRUE(matches(lines[2], R"(login password rejected code=7 in \d+\.\d{3}s)"))
        << lines[2] << " (7 is PAM_AUTH_ERR)";
}

TEST(PamLoginPasswordVerifier, ServiceChoiceAndFallbackToLogin) {
    ScopedLogCapture log;
    PamTestService pam;
    auto verifier = pam.verifier();
    EXPECT_EQ(verifier->service(), std::nullopt);
    EXPECT_FALSE(verifier->isAvailable());
    std::string text = PamTestService::password;
    EXPECT_FALSE(verifier->verify(text)) << "without any service nothing is accepted";

    pam.writeService("login");
    EXPECT_EQ(verifier->service(), "login");
    std::string again = PamTestService::password;
    std::ofstream(pam.passdb()) << LoginPasswordCheck::currentUserName() << ":" << PamTestService::password
                                << ":login\n";
    EXPECT_TRUE(verifier->verify(again)) << "the fallback service really checks";

    pam.writeService();
    EXPECT_EQ(verifier->service(), "tolva-screen") << "our own service wins as soon as it is there";

    const auto lines = log.messages("auth");
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "login password unavailable: no PAM service tolva-screen or login");
    EXPECT_TRUE(matches(lines[1], R"(login password rejected code=-1 in \d+\.\d{3}s)")) << lines[1];
    EXPECT_EQ(lines[2], "login password service=login (tolva-screen missing)");
    EXPECT_EQ(lines.back(), "login password service=tolva-screen");
}

TEST(PamLoginPasswordVerifier, AnswersOnlyTheHiddenPasswordPrompt) {
    PamTestService pam;
    // pam_matrix with "echo" asks with a visible prompt: that is not a password question.
    pam.writeService("tolva-screen", "", "echo");
    std::string text = PamTestService::password;
    EXPECT_FALSE(pam.verifier()->verify(text));
}

TEST(PamLoginPasswordVerifier, WhatAModulePrintsIsNotTakenForTheAnswer) {
    PamTestService pam;
    pam.writeService("tolva-screen", "print");
    std::string wrong = "not the password";
    EXPECT_FALSE(pam.verifier()->verify(wrong)) << "a module wrote \"0\" to standard output";
    std::string right = PamTestService::password;
    EXPECT_TRUE(pam.verifier()->verify(right));
}

// A module that starts a daemon leaves a process holding the helper's output open: the answer
// counts when the helper ends, not when that output closes.
TEST(PamLoginPasswordVerifier, AProcessAModuleLeavesBehindDoesNotTurnTheAnswerIntoAFailure) {
    ScopedLogCapture log;
    PamTestService pam;
    const auto pidFile = pam.services().parent_path() / "daemon.pid";
    pam.writeService("tolva-screen", "daemon=" + pidFile.string());
    auto verifier = pam.verifier();
    std::string right = PamTestService::password;
    const bool accepted = verifier->verify(right);
    int daemon = 0;
    std::ifstream(pidFile) >> daemon;
    ASSERT_GT(daemon, 0) << "the module left no process behind";
    const bool daemonAlive = ::kill(daemon, 0) == 0;
    ::kill(daemon, SIGKILL);
    EXPECT_TRUE(daemonAlive) << "the left-behind process was still there during the check";
    EXPECT_TRUE(accepted);
    ASSERT_FALSE(log.messages("auth").empty());
    EXPECT_TRUE(matches(log.messages("auth").back(), R"(login password accepted in \d+\.\d{3}s)"))
        << log.messages("auth").back();

    std::ofstream(pidFile, std::ios::trunc).close();
    std::string wrong = "correct horse 43";
    EXPECT_FALSE(verifier->verify(wrong));
    std::ifstream(pidFile) >> daemon;
    ::kill(daemon, SIGKILL);
    EXPECT_TRUE(matches(log.messages("auth").back(), R"(login password rejected code=7 in \d+\.\d{3}s)"))
        << log.messages("auth").back();
}

TEST(PamLoginPasswordVerifier, AHangingModuleDoesNotHangTheProgram) {
    ScopedLogCapture log;
    PamTestService pam;
    pam.writeService("tolva-screen", "hang");
    auto verifier = pam.verifier(300ms);
    const auto start = std::chrono::steady_clock::now();
    auto result = std::async(std::launch::async, [verifier] {
        std::string text = PamTestService::password;
        return verifier->verify(text);
    });
    int helper = 0;
    while (helper == 0 && std::chrono::steady_clock::now() - start < 5s)
        helper = verifier->runningHelper();
    ASSERT_NE(helper, 0) << "the check runs in a helper process";
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(result.get());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(::kill(helper, 0), -1) << "the helper was stopped and reaped";
    EXPECT_EQ(verifier->runningHelper(), 0);
    const auto lines = log.messages("auth");
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "login password check gave no answer within 300ms; helper stopped");
    EXPECT_TRUE(matches(lines.back(), R"(login password rejected code=-1 in \d+\.\d{3}s)")) << lines.back();
}

TEST(LoginPasswordUnlock, WrongPinsNeverReachPamAndTheRightPasswordUnlocks) {
    ScopedLogCapture log;
    PamTestService pam;
    pam.writeCountingService();
    LockRig f(true, {nullptr, pam.verifier()});
    f.lock();
    f.tapKey(18, "1");
    EXPECT_EQ(f.controller->lastPanelModel()->note,
              "Forgot your PIN? Type your login password and press Enter");

    f.typeDigits("111"); // "1111": a wrong PIN
    EXPECT_EQ(f.controller->lastPanelModel()->message, "Incorrect PIN");
    f.typeDigits("5555");
    f.typeDigits("0000");
    EXPECT_EQ(pam.reachedPam(), 0) << "a PIN-shaped text is never tried as the login password";

    typeText(f, "wrong horse");
    f.tapKey(36, "\r");
    EXPECT_EQ(pam.reachedPam(), 1);
    EXPECT_EQ(f.controller->lastPanelModel()->message, "Incorrect password");
    EXPECT_EQ(f.controller->backoff().consecutiveFailures, 4);

    typeText(f, PamTestService::password);
    f.tapKey(36, "\r");
    EXPECT_EQ(pam.reachedPam(), 2);
    EXPECT_EQ(f.controller->state(), LockState::unlocked);
    EXPECT_EQ(log.messages("auth").back(), "login password accepted via tap");
    EXPECT_EQ(log.messages("lock").back(), "unlocked reason=login password via tap after 0s");
    EXPECT_EQ(f.controller->backoff().consecutiveFailures, 0);
}

TEST(LoginPasswordUnlock, TheBackoffStandsInFrontOfPam) {
    PamTestService pam;
    pam.writeCountingService();
    LockRig f(true, {nullptr, pam.verifier()});
    f.lock();
    for (int i = 0; i < 5; ++i)
        f.typeDigits("1111");
    EXPECT_FALSE(f.controller->lastPanelModel()->inputEnabled) << "a wait runs";
    typeText(f, PamTestService::password);
    f.tapKey(36, "\r");
    EXPECT_EQ(pam.reachedPam(), 0) << "keys during the wait are swallowed";
    EXPECT_NE(f.controller->state(), LockState::unlocked);
}

TEST(LoginPasswordUnlock, WithoutAServiceThePanelOffersOnlyThePin) {
    PamTestService pam; // no service file at all
    LockRig f(true, {nullptr, pam.verifier()});
    EXPECT_FALSE(f.controller->passwordServiceAvailable());
    EXPECT_FALSE(f.controller->passwordUnlockAvailable());
    f.lock();
    f.tapKey(0, "x");
    const auto model = *f.controller->lastPanelModel();
    EXPECT_EQ(model.note, std::nullopt);
    EXPECT_EQ(model.title, "Enter PIN");
    f.tapKey(36, "\r");
    EXPECT_EQ(f.controller->lastPanelModel()->message, "PIN must be digits");

    pam.writeService();
    f.controller->refreshCapabilities();
    EXPECT_TRUE(f.controller->passwordUnlockAvailable());
    f.tapKey(0, "x");
    EXPECT_EQ(f.controller->lastPanelModel()->title, "Type your login password, then press Enter");
    f.prefs->setAllowLoginPasswordUnlock(false);
    EXPECT_FALSE(f.controller->passwordUnlockAvailable()) << "the switch decides too";
}

TEST(PamLoginPasswordVerifier, ThePackagedServiceChecksThePasswordAndTheAccount) {
    // The packaged /etc/pam.d/tolva-screen with the system stacks it includes stood in by
    // pam_matrix: it must bring both an auth and an account stack, or pam_acct_mgmt refuses every
    // password ("no modules loaded", PAM_PERM_DENIED).
    PamTestService pam;
    std::ifstream packaged(TOLVA_PAM_PACKAGED);
    ASSERT_TRUE(packaged.good());
    const std::map<std::string, std::string> stands = {
        {"@include common-auth", "auth required " TOLVA_PAM_MATRIX " passdb=" + pam.passdb().string()},
        {"@include common-account", "account required " TOLVA_PAM_MATRIX " passdb=" + pam.passdb().string()},
    };
    std::ofstream service(pam.services() / "tolva-screen");
    for (std::string line; std::getline(packaged, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        ASSERT_TRUE(stands.count(line)) << "an include the test does not know: " << line;
        service << stands.at(line) << "\n";
    }
    service.close();
    std::string right = PamTestService::password;
    EXPECT_TRUE(pam.verifier()->verify(right));
    std::string wrong = "not it";
    EXPECT_FALSE(pam.verifier()->verify(wrong));
}
