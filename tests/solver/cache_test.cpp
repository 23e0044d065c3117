#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cache.h"
#include "cloth_fixture.h"

namespace {

/// A cloth of n points whose positions and velocities are distinct numbers
/// derived from `seed`.
drScloth numberedCloth(int32_t n, float seed) {
    drScloth cloth;
    cloth.pointCount = n;
    cloth.resizePoints();
    for (int32_t i = 0; i < n; ++i) {
        const float base = seed + static_cast<float>(i);
        cloth.positions[static_cast<size_t>(i)] = {base, base + 0.25f, base + 0.5f};
        cloth.velocities[static_cast<size_t>(i)] = {-base, -base - 0.25f, -base - 0.5f};
    }
    return cloth;
}

/// Writes the state of `cloth` as the given frame.
void storeFrame(const TempFolder& folder, int32_t frame, const drScloth& cloth) {
    drScloth copy = cloth;
    copy.setCachePath(folder.base().c_str());
    writeCache(copy, static_cast<float>(frame));
}

std::string frameFile(const TempFolder& folder, int32_t frame) {
    char name[kCacheNameSize];
    EXPECT_TRUE(cacheFileName(folder.base().c_str(), frame, name));
    return name;
}

}  // namespace

TEST(CacheFileName, AppendsTheFrameWithAtLeastFourDigits) {
    struct Case {
        int32_t frame;
        const char* expected;
    } cases[] = {{12, "/tmp/c/cl0012"}, {7, "/tmp/c/cl0007"}, {0, "/tmp/c/cl0000"}, {12345, "/tmp/c/cl12345"}, {-3, "/tmp/c/cl-0003"}};
    for (const Case& c : cases) {
        char name[kCacheNameSize];
        EXPECT_TRUE(cacheFileName("/tmp/c/cl", c.frame, name));
        EXPECT_STREQ(name, c.expected) << c.frame;
    }
}

TEST(CacheFileName, RefusesNamesThatDoNotFitTheBuffer) {
    char name[kCacheNameSize];
    const std::string fits(kCacheNameSize - 1 - 4, 'a');  // 1023 bytes with "0012"
    ASSERT_TRUE(cacheFileName(fits.c_str(), 12, name));
    EXPECT_EQ(std::strlen(name), static_cast<size_t>(kCacheNameSize - 1));

    const std::string tooLong = fits + "a";
    EXPECT_FALSE(cacheFileName(tooLong.c_str(), 12, name));
    EXPECT_STREQ(name, "");
    EXPECT_FALSE(cacheFileName(fits.c_str(), 12345, name));  // a fifth digit no longer fits
    EXPECT_FALSE(cacheFileName(nullptr, 1, name));
}

TEST(Cache, WritesPositionsThenVelocitiesAsPackedFloats) {
    TempFolder folder;
    drScloth cloth = numberedCloth(3, 1.0f);
    cloth.setCachePath(folder.base().c_str());
    writeCache(cloth, 12.0f);

    const std::vector<char> bytes = fileBytes(folder.base() + "0012");
    ASSERT_EQ(bytes.size(), 24u * 3u);
    EXPECT_EQ(std::memcmp(bytes.data(), cloth.positions.data(), 36), 0);
    EXPECT_EQ(std::memcmp(bytes.data() + 36, cloth.velocities.data(), 36), 0);
    EXPECT_EQ(std::filesystem::status(folder.base() + "0012").permissions() & std::filesystem::perms::owner_read,
              std::filesystem::perms::owner_read);
}

TEST(Cache, RoundTripRestoresTheExactState) {
    TempFolder folder;
    drScloth written = numberedCloth(5, 0.1f);
    storeFrame(folder, 2, written);

    drScloth read = numberedCloth(5, 100.0f);
    read.setCachePath(folder.base().c_str());
    ASSERT_EQ(readCache(read, 2.0f), 1);
    EXPECT_EQ(read.positions, written.positions);
    EXPECT_EQ(read.velocities, written.velocities);
}

TEST(Cache, WriteOverALongerFileKeepsItsTail) {
    TempFolder folder;
    storeFrame(folder, 1, numberedCloth(20, 50.0f));
    const drScloth small = numberedCloth(10, 1.0f);
    storeFrame(folder, 1, small);

    const std::vector<char> bytes = fileBytes(frameFile(folder, 1));
    ASSERT_EQ(bytes.size(), 480u);
    EXPECT_EQ(std::memcmp(bytes.data(), small.positions.data(), 120), 0);
    EXPECT_EQ(std::memcmp(bytes.data() + 120, small.velocities.data(), 120), 0);
}

TEST(Cache, BlendsWithTheNextFrameByTheFraction) {
    const drScloth frame3 = numberedCloth(4, 3.0f);
    drScloth frame4 = numberedCloth(4, 40.0f);
    struct Case {
        float t;
        bool withNext;
        int32_t frame;  // frame f of t; f + 1 holds frame4's state when stored
        float phi;
    } cases[] = {
        {3.25f, true, 3, 0.25f},         // 0.75 x frame 3 + 0.25 x frame 4
        {3.25f, false, 3, 0.0f},         // frame 3 alone, exactly
        {2.9995f, true, 3, 2.9995f - 3.0f},  // rounds up to frame 3, weight -0.0005
        {-0.5f, true, -1, 0.5f},         // negative times use the frame below
    };
    for (const Case& c : cases) {
        TempFolder folder;
        storeFrame(folder, c.frame, frame3);
        if (c.withNext) storeFrame(folder, c.frame + 1, frame4);

        drScloth cloth = numberedCloth(4, -7.0f);
        cloth.setCachePath(folder.base().c_str());
        ASSERT_EQ(readCache(cloth, c.t), 1) << c.t;
        const float keep = 1.0f - c.phi;
        for (size_t i = 0; i < 4; ++i)
            for (int a = 0; a < 3; ++a) {
                const float p = c.withNext ? c.phi * frame4.positions[i][a] + keep * frame3.positions[i][a] : frame3.positions[i][a];
                const float v = c.withNext ? c.phi * frame4.velocities[i][a] + keep * frame3.velocities[i][a] : frame3.velocities[i][a];
                EXPECT_EQ(cloth.positions[i][a], p) << c.t << " point " << i;
                EXPECT_EQ(cloth.velocities[i][a], v) << c.t << " point " << i;
            }
    }
}

TEST(Cache, MissingFrameOrNoPathLoadsNothing) {
    TempFolder folder;
    drScloth cloth = numberedCloth(2, 1.0f);
    const drScloth before = cloth;
    EXPECT_EQ(readCache(cloth, 3.0f), 0);  // no path
    cloth.setCachePath(folder.base().c_str());
    EXPECT_EQ(readCache(cloth, 3.0f), 0);  // no file
    EXPECT_EQ(cloth.positions, before.positions);
    EXPECT_EQ(cloth.velocities, before.velocities);

    drScloth off = numberedCloth(2, 1.0f);
    writeCache(off, 3.0f);  // no path: nothing written anywhere
    EXPECT_TRUE(std::filesystem::is_empty(folder.path()));
}

TEST(Cache, ShortFileReadsAsFarAsItGoes) {
    TempFolder folder;
    const drScloth stored = numberedCloth(2, 1.0f);
    storeFrame(folder, 0, stored);
    drScloth cloth = numberedCloth(4, 9.0f);
    const drScloth before = cloth;
    cloth.setCachePath(folder.base().c_str());

    // 48 bytes fill the first four positions (the stored positions, then
    // the stored velocities); the velocities keep their values.
    ASSERT_EQ(readCache(cloth, 0.0f), 1);
    EXPECT_EQ(cloth.positions[0], stored.positions[0]);
    EXPECT_EQ(cloth.positions[1], stored.positions[1]);
    EXPECT_EQ(cloth.positions[2], stored.velocities[0]);
    EXPECT_EQ(cloth.positions[3], stored.velocities[1]);
    EXPECT_EQ(cloth.velocities, before.velocities);
}

TEST(Cache, ShortNextFrameBlendsUncoveredPointsWithFrameItself) {
    TempFolder folder;
    const drScloth frame5 = numberedCloth(4, 5.0f);
    storeFrame(folder, 5, frame5);
    // Frame 6 is only 12 bytes: the first position.
    std::ofstream(frameFile(folder, 6), std::ios::binary).write(reinterpret_cast<const char*>(&frame5.velocities[3]), 12);

    drScloth cloth = numberedCloth(4, 0.0f);
    cloth.setCachePath(folder.base().c_str());
    ASSERT_EQ(readCache(cloth, 5.5f), 1);
    EXPECT_EQ(cloth.positions[0].x, 0.5f * frame5.velocities[3].x + 0.5f * frame5.positions[0].x);
    for (size_t i = 1; i < 4; ++i) EXPECT_EQ(cloth.positions[i], frame5.positions[i]);
    EXPECT_EQ(cloth.velocities, frame5.velocities);
}

TEST(Cache, FailedReadOrWritePrintsItsMessage) {
    TempFolder folder;
    drScloth cloth = numberedCloth(2, 1.0f);
    cloth.setCachePath(folder.base().c_str());

    // A folder in place of frame 3 opens but cannot be read.
    std::filesystem::create_directory(frameFile(folder, 3));
    testing::internal::CaptureStdout();
    EXPECT_EQ(readCache(cloth, 3.0f), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error: cannot read cache\nError: cannot read cache\n");

    // A frame file that leads to a full device opens but cannot be written.
    if (std::filesystem::exists("/dev/full")) {
        std::filesystem::create_symlink("/dev/full", frameFile(folder, 4));
        testing::internal::CaptureStdout();
        writeCache(cloth, 4.0f);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error: cannot write cache\nError: cannot write cache\n");
    }

    // A file that cannot be created is silent.
    drScloth nowhere = numberedCloth(2, 1.0f);
    nowhere.setCachePath((folder.path() / "missing" / "cl").string().c_str());
    testing::internal::CaptureStdout();
    writeCache(nowhere, 1.0f);
    EXPECT_EQ(readCache(nowhere, 1.0f), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(Cache, BaseNameTooLongForTheBufferSwitchesTheCacheOff) {
    TempFolder folder;
    // Long base names padded with repeated separators, which the operating
    // system accepts: only the buffer limit matters.
    auto baseOfLength = [&](size_t length) {
        const std::string folderName = folder.path().string();
        return folderName + std::string(length - folderName.size() - 2, '/') + "cl";
    };
    const std::string fits = baseOfLength(kCacheNameSize - 1 - 4);
    const std::string tooLong = baseOfLength(kCacheNameSize - 4);
    ASSERT_EQ(fits.size() + 1, tooLong.size());

    drScloth cloth = numberedCloth(2, 1.0f);
    cloth.setCachePath(fits.c_str());
    writeCache(cloth, 0.0f);
    EXPECT_TRUE(std::filesystem::exists(folder.path() / "cl0000"));

    cloth.setCachePath(tooLong.c_str());
    writeCache(cloth, 1.0f);
    EXPECT_EQ(readCache(cloth, 0.0f), 0);
    drSsolver solver;
    solver.advanceTo(cloth, 1.0f);  // steps, and neither reads nor writes
    EXPECT_FLOAT_EQ(solver.time, 1.0f);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), std::filesystem::directory_iterator()), 1);
}
