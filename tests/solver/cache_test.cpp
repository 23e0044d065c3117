#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
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

/// Overwrites float number `index` of a file in place.
void patchFloat(const std::string& file, long index, float value) {
    std::fstream f(file, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(index * static_cast<long>(sizeof(float)));
    f.write(reinterpret_cast<const char*>(&value), sizeof value);
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

TEST(Cache, WriteReplacesTheWholeFileAndNeverFollowsALink) {
    TempFolder folder;
    // A longer earlier file is replaced, not overwritten at its start
    storeFrame(folder, 1, numberedCloth(20, 50.0f));
    const drScloth small = numberedCloth(10, 1.0f);
    storeFrame(folder, 1, small);
    const std::vector<char> bytes = fileBytes(frameFile(folder, 1));
    ASSERT_EQ(bytes.size(), 240u);
    EXPECT_EQ(std::memcmp(bytes.data(), small.positions.data(), 120), 0);
    EXPECT_EQ(std::memcmp(bytes.data() + 120, small.velocities.data(), 120), 0);

    // A link at the frame's name, to a file or to nowhere, is replaced by
    // the frame; its target is neither written nor created
    const std::filesystem::path victim = folder.path() / "victim.txt";
    std::ofstream(victim) << "keep me";
    std::filesystem::create_symlink(victim, frameFile(folder, 2));
    std::filesystem::create_symlink(folder.path() / "created", frameFile(folder, 3));
    storeFrame(folder, 2, small);
    storeFrame(folder, 3, small);
    for (int32_t frame : {2, 3}) {
        EXPECT_FALSE(std::filesystem::is_symlink(frameFile(folder, frame))) << frame;
        EXPECT_EQ(fileBytes(frameFile(folder, frame)).size(), 240u) << frame;
    }
    EXPECT_EQ(fileBytes(victim.string()).size(), 7u);
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "created"));

    // Nothing but the frames (and the victim) is left in the folder
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), std::filesystem::directory_iterator()), 4);
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

TEST(Cache, DamagedFrameIsReportedByNameAndNotLoaded) {
    const drScloth stored = numberedCloth(3, 1.0f);
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    struct Case {
        const char* what;
        std::function<void(const std::string& file)> damage;
        const char* problem;
    } cases[] = {
        {"cut short", [](const std::string& f) { std::filesystem::resize_file(f, 50); }, "(50 bytes where 72 are expected for 3 points)"},
        {"too long", [](const std::string& f) { std::ofstream(f, std::ios::app) << "tail"; }, "(76 bytes where 72 are expected"},
        {"empty", [](const std::string& f) { std::filesystem::resize_file(f, 0); }, "(0 bytes where 72"},
        {"not a number", [nan](const std::string& f) { patchFloat(f, 4, nan); }, "(it holds values that are not finite numbers)"},
        {"infinite velocity", [inf](const std::string& f) { patchFloat(f, 17, -inf); }, "not finite numbers"},
        {"a folder", [](const std::string& f) { std::filesystem::remove(f); std::filesystem::create_directory(f); }, "(it is not a regular file)"},
    };
    for (const Case& c : cases) {
        TempFolder folder;
        storeFrame(folder, 7, stored);
        c.damage(frameFile(folder, 7));

        drScloth cloth = numberedCloth(3, 40.0f);
        const drScloth before = cloth;
        cloth.setCachePath(folder.base().c_str());
        testing::internal::CaptureStderr();
        EXPECT_EQ(readCache(cloth, 7.0f), 0) << c.what;
        const std::string message = testing::internal::GetCapturedStderr();
        EXPECT_EQ(message.rfind("drapeon: cache file " + frameFile(folder, 7) + " is damaged (", 0), 0u) << message;
        EXPECT_NE(message.find(c.problem), std::string::npos) << c.what << ": " << message;
        EXPECT_NE(message.find("; simulating frame 7 again\n"), std::string::npos) << message;
        EXPECT_EQ(cloth.positions, before.positions) << c.what;
        EXPECT_EQ(cloth.velocities, before.velocities) << c.what;

        // The next write replaces the damaged file with a sound one
        if (std::filesystem::is_regular_file(frameFile(folder, 7))) {
            writeCache(cloth, 7.0f);
            testing::internal::CaptureStderr();
            EXPECT_EQ(readCache(cloth, 7.0f), 1) << c.what;
            EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        }
    }
}

TEST(Cache, DamagedNextFrameIsNotBlendedIn) {
    TempFolder folder;
    const drScloth frame5 = numberedCloth(4, 5.0f);
    storeFrame(folder, 5, frame5);
    storeFrame(folder, 6, numberedCloth(4, 60.0f));
    patchFloat(frameFile(folder, 6), 0, std::numeric_limits<float>::quiet_NaN());

    drScloth cloth = numberedCloth(4, 0.0f);
    cloth.setCachePath(folder.base().c_str());
    testing::internal::CaptureStderr();
    ASSERT_EQ(readCache(cloth, 5.5f), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // reported when frame 6 itself is read
    EXPECT_EQ(cloth.positions, frame5.positions);
    EXPECT_EQ(cloth.velocities, frame5.velocities);
}

TEST(Cache, FailedWriteIsReportedAndLeavesTheEarlierFrame) {
    TempFolder folder;
    const drScloth cloth = numberedCloth(2, 1.0f);
    storeFrame(folder, 3, numberedCloth(2, 9.0f));
    const std::vector<char> earlier = fileBytes(frameFile(folder, 3));
    struct Case {
        std::string base;
        int32_t frame;
        const char* reason;
    } cases[] = {
        {(folder.path() / "missing" / "cl").string(), 1, "No such file or directory"},
        {(folder.path() / "cl0003" / "x").string(), 1, "Not a directory"},
    };
    for (const Case& c : cases) {
        drScloth copy = cloth;
        copy.setCachePath(c.base.c_str());
        testing::internal::CaptureStderr();
        writeCache(copy, static_cast<float>(c.frame));
        const std::string message = testing::internal::GetCapturedStderr();
        char name[kCacheNameSize];
        ASSERT_TRUE(cacheFileName(c.base.c_str(), c.frame, name));
        EXPECT_EQ(message, "drapeon: cannot write the cache file " + std::string(name) + ": " + c.reason + "\n");
    }
    // A folder in the frame's place cannot be replaced: the temporary file goes
    std::filesystem::create_directory(frameFile(folder, 4));
    drScloth copy = cloth;
    copy.setCachePath(folder.base().c_str());
    testing::internal::CaptureStderr();
    writeCache(copy, 4.0f);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("cannot write the cache file " + frameFile(folder, 4)),
              std::string::npos);
    EXPECT_EQ(fileBytes(frameFile(folder, 3)), earlier);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), std::filesystem::directory_iterator()), 2);
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
