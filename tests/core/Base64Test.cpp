#include "TolvaCore/Base64.h"

#include <cstring>
#include <gtest/gtest.h>

using namespace tolva;

TEST(Base64, RfcVectorsRoundTrip) {
    const std::pair<const char*, const char*> vectors[] = {{"", ""},
                                                           {"f", "Zg=="},
                                                           {"fo", "Zm8="},
                                                           {"foo", "Zm9v"},
                                                           {"foob", "Zm9vYg=="},
                                                           {"fooba", "Zm9vYmE="},
                                                           {"foobar", "Zm9vYmFy"}};
    for (auto [plain, encoded] : vectors) {
        Bytes bytes(plain, plain + std::strlen(plain));
        EXPECT_EQ(base64Encode(bytes), encoded);
        EXPECT_EQ(base64Decode(encoded), bytes) << encoded;
    }
    Bytes all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(base64Decode(base64Encode(all)), all);
}

TEST(Base64, RejectsNonCanonicalText) {
    for (const char* bad : {"Zg=", "Zg", "Zm9v\n", "Zm 9v", "Zh==", "Zm9=", "=Zm9", "Zg==Zg==", "Zm9v!A=="})
        EXPECT_EQ(base64Decode(bad), std::nullopt) << bad;
}
