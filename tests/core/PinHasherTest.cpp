#include "TolvaCore/PinHasher.h"
#include "TolvaCore/L10n.h"
#include "TolvaCore/PinPolicy.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <limits>

using namespace tolva;

namespace {

std::string hex(const Bytes& bytes) {
    std::string out;
    char buf[3];
    for (auto b : bytes) {
        std::snprintf(buf, sizeof buf, "%02x", b);
        out += buf;
    }
    return out;
}

Bytes bytesOf(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

} // namespace

TEST(PinPolicy, CharacterRuleBeforeLengthRule) {
    using V = PinPolicy::Violation;
    const std::pair<const char*, std::optional<V>> cases[] = {
        {"0000", std::nullopt},         {"00000000", std::nullopt}, {"000", V::tooShort},
        {"000000000", V::tooLong},      {"", V::tooShort},          {"12 34", V::notDigits},
        {"１２３４", V::notDigits}, // full-width digits
        {"١٢٣٤", V::notDigits},     // Arabic-Indic digits
        {"12a", V::notDigits},          {"1234\r\n", V::notDigits}, {"²³⁴⁵", V::notDigits},
        {"1234\xCC\x81", V::notDigits}, // a combining mark on the last digit
    };
    for (auto& [pin, expected] : cases)
        EXPECT_EQ(PinPolicy::validate(pin), expected) << pin;
}

TEST(PinPolicy, Descriptions) {
    EXPECT_EQ(PinPolicy::description(PinPolicy::Violation::tooShort), "A PIN must be at least 4 digits");
    EXPECT_EQ(PinPolicy::description(PinPolicy::Violation::tooLong), "A PIN can be at most 8 digits");
    EXPECT_EQ(PinPolicy::description(PinPolicy::Violation::notDigits), "A PIN can contain only digits");
}

TEST(PinHasher, DerivationMatchesPublishedPbkdf2Sha256Vectors) {
    // RFC 8018 style test vectors for PBKDF2-HMAC-SHA256 (P = "password", S = "salt").
    EXPECT_EQ(hex(PinHasher::derive("password", bytesOf("salt"), 1)),
              "120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b");
    EXPECT_EQ(hex(PinHasher::derive("password", bytesOf("salt"), 2)),
              "ae4d0c95af6b46d32d0adff928f06dd02a303f8ef3c251dfd6e2d85a95474c43");
    EXPECT_EQ(hex(PinHasher::derive("password", bytesOf("salt"), 4096)),
              "c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a");
    EXPECT_EQ(hex(PinHasher::derive("passwordPASSWORDpassword",
                                    bytesOf("saltSALTsaltSALTsaltSALTsaltSALTsalt"), 4096)),
              "348c89dbcbd32b2f32d814b8116e84cf2b17347ebc1800181c4e2a1fb8dd53e1");
}

TEST(PinHasher, RecordsAreSaltedAndVerify) {
    auto a = PinHasher::makeRecord("482916", 1000);
    auto b = PinHasher::makeRecord("482916", 1000);
    EXPECT_EQ(a.salt.size(), 16u);
    EXPECT_EQ(a.hash.size(), 32u);
    EXPECT_EQ(a.iterations, 1000);
    EXPECT_EQ(a.length, 6);
    EXPECT_NE(a.salt, b.salt);
    EXPECT_NE(a.hash, b.hash);
    EXPECT_TRUE(PinHasher::verify("482916", a));
    EXPECT_TRUE(PinHasher::verify("482916", b));
    EXPECT_FALSE(PinHasher::verify("482917", a));
    EXPECT_FALSE(PinHasher::verify("", a));

    // A record keeps verifying with its own count, whatever the default is.
    auto other = PinHasher::makeRecord("1234", 7);
    EXPECT_TRUE(PinHasher::verify("1234", other));
    // A hash of another length never verifies.
    auto shortened = a;
    shortened.hash.pop_back();
    EXPECT_FALSE(PinHasher::verify("482916", shortened));
}

TEST(PinHasher, UnusableIterationCountsNeverVerifyAndNeverCrash) {
    auto record = PinHasher::makeRecord("1234", 10);
    for (std::int64_t bad : {std::int64_t{0}, std::int64_t{-1}, std::numeric_limits<std::int64_t>::min(),
                             std::int64_t{4294967296}, std::numeric_limits<std::int64_t>::max()}) {
        auto copy = record;
        copy.iterations = bad;
        EXPECT_FALSE(PinHasher::verify("1234", copy)) << bad;
        EXPECT_THROW(PinHasher::derive("1234", copy.salt, bad), PinHasher::Failure) << bad;
    }
    try {
        PinHasher::makeRecord("1234", 0);
        ADD_FAILURE() << "no failure for zero iterations";
    } catch (const PinHasher::Failure& failure) {
        EXPECT_EQ(failure.kind(), PinHasher::Failure::Kind::derivationFailed);
        EXPECT_NE(failure.status(), 0);
    }
}

TEST(PinHasher, DefaultRecordAtTheRealIterationCount) {
    auto record = PinHasher::makeRecord("20261207");
    EXPECT_EQ(record.iterations, 150000);
    EXPECT_EQ(record.length, 8);
    EXPECT_TRUE(PinHasher::verify("20261207", record));
    EXPECT_FALSE(PinHasher::verify("20261208", record));
}

TEST(PinHasher, ConstantTimeEquals) {
    EXPECT_TRUE(PinHasher::constantTimeEquals({}, {}));
    EXPECT_TRUE(PinHasher::constantTimeEquals({1, 2, 3}, {1, 2, 3}));
    EXPECT_FALSE(PinHasher::constantTimeEquals({1, 2, 3}, {1, 2, 4}));
    EXPECT_FALSE(PinHasher::constantTimeEquals({9, 2, 3}, {1, 2, 3}));
    EXPECT_FALSE(PinHasher::constantTimeEquals({1, 2}, {1, 2, 3}));
}

TEST(PinRecord, JsonMembersAndRoundTrip) {
    PinRecord record{{0, 1, 2, 250}, {0xff, 0xfe}, 150000, 6};
    const std::string json = record.toJSON();
    EXPECT_EQ(json, R"({"hash":"//4=","iterations":150000,"length":6,"salt":"AAEC+g=="})");
    EXPECT_EQ(PinRecord::fromJSON(json), record);
    // Any order, extra members ignored, no validation of lengths or counts.
    EXPECT_EQ(PinRecord::fromJSON(
                  R"({"length":6,"extra":[1],"iterations":150000,"salt":"AAEC+g==","hash":"//4="})"),
              record);
    EXPECT_EQ(PinRecord::fromJSON(R"({"salt":"","hash":"","iterations":-5,"length":99})").iterations, -5);
    for (const char* bad :
         {R"({"hash":"//4=","iterations":1,"length":6})", R"({"salt":"AA==","hash":"//4=","length":6})",
          R"({"salt":"AA==","hash":"//4=","iterations":"1","length":6})",
          R"({"salt":"AA==","hash":"//4=","iterations":1.5,"length":6})",
          R"({"salt":"A","hash":"//4=","iterations":1,"length":6})",
          R"({"salt":1,"hash":"//4=","iterations":1,"length":6})", "[]", "not json", ""})
        EXPECT_THROW(PinRecord::fromJSON(bad), PinRecordDecodingError) << bad;
}
