#include "TolvaCore/UpdateFeed.h"
#include "TolvaCore/L10n.h"
#include "TolvaCore/Localization.h"
#include "TolvaCore/RelativeDate.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <memory>

using namespace tolva;

TEST(UpdateFeed, MajorIsNeverBelowOneAndNamesTheFeed) {
    EXPECT_EQ(UpdateFeed::major(-4), 1);
    EXPECT_EQ(UpdateFeed::major(0), 1);
    EXPECT_EQ(UpdateFeed::major(1), 1);
    EXPECT_EQ(UpdateFeed::major(2), 2);
    EXPECT_EQ(UpdateFeed::major(17), 17);
    EXPECT_EQ(UpdateFeed::urlString("https://u.example/t", 3), "https://u.example/t/appcast-v3.xml");
    EXPECT_EQ(UpdateFeed::urlString("https://u.example/t", 0), "https://u.example/t/appcast-v1.xml");
    EXPECT_EQ(UpdateFeed::urlString("B", -1), "B/appcast-v1.xml");

    EXPECT_EQ(UpdateFeed::majorOf("0.1.0"), 0);
    EXPECT_EQ(UpdateFeed::majorOf("12.4"), 12);
    EXPECT_EQ(UpdateFeed::majorOf("3"), 3);
    EXPECT_EQ(UpdateFeed::majorOf("dev"), 0);
    EXPECT_EQ(UpdateFeed::majorOf(""), 0);
}

TEST(UpdateVersion, ComparesTheWayPeopleRead) {
    struct Case {
        const char* a;
        const char* b;
        int order;
    };
    const Case cases[] = {
        {"1.10", "1.9", 1},
        {"1.9", "1.10", -1},
        {"2.0", "2.0-beta2", 1},
        {"2.0-beta2", "2.0", -1},
        {"2.0b1", "2.0", -1},
        {"2.0-beta10", "2.0-beta9", 1},
        {"2.0-beta", "2.0-rc1", -1},
        {"1.0", "1", 0},
        {"1.0.0", "1.0", 0},
        {"1.0.1", "1.0", 1},
        {"1.0", "1.0.1", -1},
        {"1.0.1", "1.0a", 1},
        {"01.2", "1.2", 0},
        {"1.2.3", "1.2.3", 0},
        {"10", "9", 1},
        {"99999999999999999999.1", "99999999999999999998.9", 1}, // longer than any integer type
        {"2.0 (123)", "2.0 (99)", 1},
        {"", "0", 0},
    };
    for (const auto& c : cases) {
        const int order = UpdateVersion::compare(c.a, c.b);
        EXPECT_EQ((order > 0) - (order < 0), c.order) << c.a << " vs " << c.b;
    }
}

namespace {

struct Ed25519 {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key{EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"),
                                                            EVP_PKEY_free};

    std::string publicKey() const {
        Bytes raw(32);
        std::size_t length = raw.size();
        EVP_PKEY_get_raw_public_key(key.get(), raw.data(), &length);
        return base64Encode(raw);
    }
    std::string sign(const Bytes& data) const {
        std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
        Bytes signature(64);
        std::size_t length = signature.size();
        EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get());
        EVP_DigestSign(context.get(), signature.data(), &length, data.data(), data.size());
        return base64Encode(signature);
    }
};

} // namespace

TEST(UpdateSignature, AcceptsOnlyTheRightKeyOverTheExactBytes) {
    Ed25519 signer, stranger;
    const Bytes data = {'t', 'o', 'l', 'v', 'a', 0, 1, 2, 255};
    const std::string signature = signer.sign(data);
    EXPECT_TRUE(UpdateSignature::verify(signer.publicKey(), data, signature));

    Bytes changed = data;
    changed.back() ^= 1;
    EXPECT_FALSE(UpdateSignature::verify(signer.publicKey(), changed, signature));
    Bytes longer = data;
    longer.push_back(0);
    EXPECT_FALSE(UpdateSignature::verify(signer.publicKey(), longer, signature));
    EXPECT_FALSE(UpdateSignature::verify(stranger.publicKey(), data, signature));
    EXPECT_FALSE(UpdateSignature::verify(signer.publicKey(), data, stranger.sign(data)));

    // Malformed keys and signatures are refusals, never errors.
    EXPECT_FALSE(UpdateSignature::verify(signer.publicKey(), data, ""));
    EXPECT_FALSE(UpdateSignature::verify(signer.publicKey(), data, "not base64!"));
    EXPECT_FALSE(UpdateSignature::verify(signer.publicKey(), data, base64Encode(Bytes(63, 1))));
    EXPECT_FALSE(UpdateSignature::verify(signer.publicKey(), data, base64Encode(Bytes(64, 0))));
    EXPECT_FALSE(UpdateSignature::verify("", data, signature));
    EXPECT_FALSE(UpdateSignature::verify(base64Encode(Bytes(31, 7)), data, signature));
    EXPECT_FALSE(UpdateSignature::verify(base64Encode(Bytes(32, 0)), data, signature));
}

TEST(RelativeDate, LargestUnitNamedInTheInterfaceLanguage) {
    ::setenv("LANGUAGE", "en", 1);
    Localization::configure(nullptr);
    using namespace std::chrono;
    const system_clock::time_point now(seconds(1'800'000'000));
    EXPECT_EQ(relativeDateText(now, now), "now");
    EXPECT_EQ(relativeDateText(now + hours(3), now), "now"); // a date ahead reads as now
    EXPECT_EQ(relativeDateText(now - seconds(30), now), "30 seconds ago");
    EXPECT_EQ(relativeDateText(now - minutes(5), now), "5 minutes ago");
    EXPECT_EQ(relativeDateText(now - hours(2) - minutes(59), now), "2 hours ago");
    EXPECT_EQ(relativeDateText(now - hours(30), now), "yesterday");
    EXPECT_EQ(relativeDateText(now - days(3), now), "3 days ago");
    EXPECT_EQ(relativeDateText(now - days(14), now), "2 weeks ago");
    EXPECT_EQ(relativeDateText(now - days(800), now), "2 years ago");
    EXPECT_EQ(L10n::About::Update::lastChecked(relativeDateText(now - minutes(1), now)),
              "Last checked 1 minute ago");
}
