// The C sun-pointing example on the virtual satellite finds the lamp and
// holds it within 2°, by the simulator's own account of the true state, then
// photographs it and transmits the photo to the ground station.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "fakes/mission_process.h"

namespace fs = std::filesystem;

namespace {

std::string read_file(const fs::path& path)
{
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// Width and height from a baseline or progressive JPEG's frame header;
// 0x0 when the data is not a JPEG or has no frame.
std::pair<int, int> jpeg_size(const std::string& d)
{
    auto byte = [&](size_t i) { return static_cast<uint8_t>(d[i]); };
    if (d.size() < 4 || byte(0) != 0xFF || byte(1) != 0xD8) {
        return {0, 0};
    }
    size_t i = 2;
    while (i + 9 < d.size() && byte(i) == 0xFF) {
        const uint8_t marker = byte(i + 1);
        const size_t len = byte(i + 2) << 8 | byte(i + 3);
        if (marker == 0xC0 || marker == 0xC2) {
            return {byte(i + 7) << 8 | byte(i + 8), byte(i + 5) << 8 | byte(i + 6)};
        }
        i += 2 + len;
    }
    return {0, 0};
}

std::string local_stamp(std::time_t t)
{
    char buf[32];
    std::tm tm{};
    localtime_r(&t, &tm);
    std::strftime(buf, sizeof buf, "%Y%m%d%H%M%S", &tm);
    return buf;
}

}  // namespace

TEST(SimSunPointing, FindsAndHoldsTheLampThenTransmitsItsPhoto)
{
    // The mission's working directory: photos/ is made there; the run's
    // folder holds the telemetry and the ground station's files.
    const fs::path work = fs::path(KELVEX_TEST_BINARY_DIR) / "sim_sun_pointing";
    const fs::path run = work / "run";
    fs::remove_all(work);
    fs::create_directories(work);
    const std::string csv = (run / "telemetry.csv").string();
    // The lamp behind the satellite on its right: a turn the other way
    // than the demo's, with a start outside sun sensor 0's field. Free
    // ports for FTP and the page, so a station already running elsewhere
    // is no obstacle. What the mission does, not how long it takes: in
    // virtual time, as fast as it goes.
    const std::string cmd = "cd " + work.string() + " && " KELVEX_BUILD_DIR
                            "/sim/kelvex-sim run " KELVEX_TEST_SEAL_OPTION "--clock=virtual --speed=max "
                            "--ftp-port 0 --http-port 0 --lamp-azimuth -150 "
                            "--yaw 10 --seed 5 --no-plot --run-dir run -- " KELVEX_BUILD_DIR
                            "/examples/sun_pointing 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(nullptr, p);
    std::string out;
    char buf[512];
    while (fgets(buf, sizeof buf, p)) {
        out += buf;
    }
    ASSERT_EQ(0, pclose(p)) << out;
    ASSERT_NE(std::string::npos, out.find("pointed at the lamp after")) << out;
    const size_t at = out.find("final pointing error: ");
    ASSERT_NE(std::string::npos, at) << out;
    EXPECT_LT(std::stod(out.substr(at + 22)), 2.0);

    // The truth: from the time the mission said it pointed, the real angle
    // to the lamp stays inside 2° to the end.
    std::ifstream f(csv);
    std::string line;
    ASSERT_TRUE(std::getline(f, line));
    std::vector<std::pair<double, double>> rows;  // t, lamp angle
    while (std::getline(f, line)) {
        std::stringstream ss(line);
        std::string cell;
        std::vector<double> v;
        while (std::getline(ss, cell, ',') && v.size() < 5) {
            v.push_back(std::stod(cell));
        }
        rows.emplace_back(v[0], v[4]);
    }
    ASSERT_GT(rows.size(), 100u);
    EXPECT_GT(std::fabs(rows.front().second), 150.0) << "started far from the lamp";
    const double end = rows.back().first;
    int held = 0;
    for (const auto& [t, angle] : rows) {
        if (t > end - 8.0) {  // the mission's holding time
            EXPECT_LT(std::fabs(angle), 2.0) << "at t = " << t;
            ++held;
        }
    }
    EXPECT_GT(held, 100);

    // The photo went out once, under the time of the upload, and arrived
    // whole: the same 640x480 JPEG the camera wrote, stamped by the
    // flight's clock between its start and its end.
    const std::string record = read_file(run / "run.json");
    const size_t t0_at = record.find("\"t0_unix\": ");
    ASSERT_NE(std::string::npos, t0_at) << record;
    const double t0 = std::stod(record.substr(t0_at + 11));
    const auto started = static_cast<std::time_t>(t0);
    const auto ended = static_cast<std::time_t>(t0 + end + 1);
    for (const char* step : {"camera on: done (0)", "photo 1 taken into photos/1.jpeg: done (0)",
                             "transmitter 0 on: done (0)", "photo 1 transmitted: done (0)"}) {
        EXPECT_NE(std::string::npos, out.find(step)) << step << "\n" << out;
    }
    std::vector<fs::path> arrived;
    for (const auto& e : fs::directory_iterator(run / "ground" / "incoming")) {
        arrived.push_back(e.path());
    }
    ASSERT_EQ(1u, arrived.size()) << out;
    const std::string name = arrived[0].filename().string();
    ASSERT_TRUE(std::regex_match(name, std::regex("[0-9]{14}-1\\.jpeg"))) << name;
    EXPECT_GE(name.substr(0, 14), local_stamp(started));
    EXPECT_LE(name.substr(0, 14), local_stamp(ended));
    const std::string photo = read_file(arrived[0]);
    EXPECT_EQ(std::make_pair(640, 480), jpeg_size(photo));
    // A sealed mission works in a folder of its own, kept as the run
    // folder's mission/; an unsealed one works in the run folder itself.
    const fs::path left = run / "mission";
    EXPECT_EQ(read_file((fs::exists(left) ? left : run) / "photos" / "1.jpeg"), photo);
    // curl's progress meter stays out of the mission's output.
    EXPECT_EQ(std::string::npos, out.find("Dload")) << out;
}

TEST(SimSunPointing, JpegSizeReadsTheFrameHeader)
{
    // A marker segment before the frame header must be skipped by its length.
    const std::string jpeg("\xFF\xD8\xFF\xE0\x00\x04"
                           "ab\xFF\xC0\x00\x11\x08\x01\xE0\x02\x80\x03",
                           18);
    EXPECT_EQ(std::make_pair(640, 480), jpeg_size(jpeg));
    EXPECT_EQ(std::make_pair(0, 0), jpeg_size("\x89PNG\r\n\x1a\n and more bytes"));
    EXPECT_EQ(std::make_pair(0, 0), jpeg_size(jpeg.substr(0, 12)));
}
