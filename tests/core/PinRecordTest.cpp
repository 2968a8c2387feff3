// Stored PIN records that this program never writes are refused before they can lock anyone out.
#include "TolvaCore/PinRecord.h"
#include "TolvaCore/PinHasher.h"

#include <gtest/gtest.h>

using namespace tolva;

TEST(PinRecord, RefusesWhatThisProgramNeverWrites) {
    const PinRecord good = PinHasher::makeRecord("1234", 10);
    EXPECT_EQ(good.unusableReason(), std::nullopt);
    EXPECT_EQ(PinHasher::makeRecord("12345678", 1).unusableReason(), std::nullopt)
        << "1 iteration is the floor";
    PinRecord atDefault = good;
    atDefault.iterations = PinHasher::defaultIterations;
    EXPECT_EQ(atDefault.unusableReason(), std::nullopt);

    struct Case {
        const char* name;
        std::function<void(PinRecord&)> spoil;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"no iterations", [](PinRecord& r) { r.iterations = 0; }, "iterations=0 is outside 1...1000000"},
        {"negative", [](PinRecord& r) { r.iterations = -150000; },
         "iterations=-150000 is outside 1...1000000"},
        {"minutes of CPU", [](PinRecord& r) { r.iterations = 2147483647; },
         "iterations=2147483647 is outside 1...1000000"},
        {"beyond 32 bits", [](PinRecord& r) { r.iterations = 4000000000; },
         "iterations=4000000000 is outside 1...1000000"},
        {"just above", [](PinRecord& r) { r.iterations = 1000001; },
         "iterations=1000001 is outside 1...1000000"},
        {"three digits", [](PinRecord& r) { r.length = 3; }, "length=3 is outside 4...8"},
        {"nine digits", [](PinRecord& r) { r.length = 9; }, "length=9 is outside 4...8"},
        {"negative length", [](PinRecord& r) { r.length = -4; }, "length=-4 is outside 4...8"},
        {"empty hash", [](PinRecord& r) { r.hash.clear(); }, "hash is 0 bytes, not 32"},
        {"long hash", [](PinRecord& r) { r.hash.resize(64); }, "hash is 64 bytes, not 32"},
        {"empty salt", [](PinRecord& r) { r.salt.clear(); }, "salt bytes=0 is outside 1...64"},
        {"huge salt", [](PinRecord& r) { r.salt.assign(1 << 20, 7); },
         "salt bytes=1048576 is outside 1...64"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PinRecord spoiled = good;
        c.spoil(spoiled);
        EXPECT_EQ(spoiled.unusableReason(), c.reason);
        // The decoder itself still reads such a record unchanged; refusing it is the loader's job.
        EXPECT_EQ(PinRecord::fromJSON(spoiled.toJSON()), spoiled);
    }
}
