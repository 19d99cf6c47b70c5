// Every configuration file reader given a FIFO: refused at once with its
// "cannot open" outcome, never waiting for a writer.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "common/status.h"
#include "common/testing/capture_sink.h"
#include "common/testing/child_process.h"
#include "common/testing/temp_dir.h"
#include "config/badpixel.h"
#include "config/materials.h"
#include "config/rampcfg.h"
#include "config/rampfile.h"
#include "config/sbcal.h"
#include "config/zoomcal.h"
#include "platform/testfs_testing.h"

namespace {

// Each reader runs in a child that is ended after this many real seconds,
// so a reader that blocks fails the test instead of hanging the suite.
constexpr unsigned kBlockedAfter = 10;

class FifoInput : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!plat_test_make_fifo(fifo)) GTEST_SKIP() << kPlatTestNoFifo;
    }

    int run_bounded(const std::function<int()>& body) {
        return run_in_child([&] {
            plat_test_end_after(kBlockedAfter);
            return body();
        });
    }

    TempDir dir;
    const std::string fifo = dir.file("input");
};

}  // namespace

TEST_F(FifoInput, EveryConfigurationReaderRefusesIt) {
    EXPECT_EQ(
        run_bounded([&] {
            FtpMaterialTable table{};
            CHILD_REQUIRE(ftp_read_materials_file(fifo.c_str(), &table) == ERR_CANT_OPEN_FILE);
            return 0;
        }),
        0)
        << "materials";
    EXPECT_EQ(
        run_bounded([&] {
            CapturedMessages msgs;
            RrRampSpec* specs = nullptr;
            int count = 0;
            CHILD_REQUIRE(rr_read_ramp_cfg(fifo.c_str(), &specs, &count) == ERR_CANT_OPEN_FILE);
            CHILD_REQUIRE(msgs.text() == "Cannot open ramp config file \"" + fifo + "\"\n");
            return 0;
        }),
        0)
        << "ramp configuration";
    EXPECT_EQ(run_bounded([&] {
                  ZoomCalTable table{};
                  char message[ZOOM_CAL_MSG_SIZE];
                  CHILD_REQUIRE(zoom_cal_read(fifo.c_str(), &table, message) ==
                                ERR_QEL_ENC_ZOOM_CANT_OPEN_CAL_FILE);
                  CHILD_REQUIRE(std::string(message) ==
                                " Cannot open QEL encoded zoom magnification calibration file \"" +
                                    fifo + "\" \n");
                  return 0;
              }),
              0)
        << "zoom calibration";
    EXPECT_EQ(
        run_bounded([&] {
            CapturedMessages msgs;
            CHILD_REQUIRE(sb_readCal(0, fifo.c_str()) == ERR_CANT_READ_FILE);
            CHILD_REQUIRE(msgs.text().find("Cannot open file for reading.") != std::string::npos);
            return 0;
        }),
        0)
        << "system calibration";
    EXPECT_EQ(run_bounded([&] {
                  static CbCamera cameras[CB_MAX_CAMERAS] = {};
                  char text[256] = "";
                  UTextBuffer message{text, sizeof text};
                  int count = -1;
                  CHILD_REQUIRE(cb_read_file(fifo.c_str(), cameras, &count, &message) ==
                                ERR_CANT_OPEN_FILE);
                  return 0;
              }),
              0)
        << "bad pixels";
    EXPECT_EQ(
        run_bounded([&] {
            rr_ramp_hdr_t hdr{};
            uint16_t* points = nullptr;
            CHILD_REQUIRE(rr_read_ramp_file(fifo.c_str(), &hdr, &points) == ERR_CANT_OPEN_FILE);
            return 0;
        }),
        0)
        << "ramp data";
}
