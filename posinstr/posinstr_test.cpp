#include "posinstr/posinstr.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "common/status.h"
#include "common/testing/capture_sink.h"
#include "config/sysinfo.h"
#include "posinstr/posinstr_sim.h"

namespace {

class PosInstrTest : public ::testing::Test {
  protected:
    void SetUp() override { posinstr_sim_reset(); }
    void TearDown() override { posinstr_sim_reset(); }

    // A record of `type` that counts in wavelength code 25 at scale 1.
    static PosInstr record(int type, uint8_t unitsCode = POSINSTR_UNIT_WAVE_25) {
        PosInstr p;
        p.posInstrType = type;
        p.unitsCode = unitsCode;
        p.scale = 1;
        return p;
    }

    CapturedMessages messages_;
};

TEST_F(PosInstrTest, FirstUnitsReadingIsZeroForEveryType) {
    for (int type : {1, 2, 3, 4, 6, 7, 8, 9, 10, 11, 12}) {
        SCOPED_TRACE(type);
        posinstr_sim_reset();
        const bool absolute = type == 3 || type == 6 || type == 7 || type == 9;
        const bool counter = type == 1 || type == 2;
        if (type == POSINSTR_ZENCODER) {
            PosInstrSimMotion* motion = posinstr_sim_install_motion();
            motion->push_inches(5.0);
            motion->push_inches(6.0);
        } else {
            PosInstrSimDevice* dev = posinstr_sim_install(type);
            ASSERT_NE(dev, nullptr);
            if (counter) dev->push_raw(7);
            if (absolute) dev->push_value(5.0);
            if (!counter) dev->push_value(6.0);
        }
        PosInstr p = record(type);
        double out = -1;
        ASSERT_EQ(posinstr_read_units(&p, POSINSTR_UNIT_MM, &out), NO_ERROR);
        EXPECT_EQ(out, 0.0);
        EXPECT_TRUE(p.initialised);
        EXPECT_TRUE(p.checkReadStatus);
        // Then the counters count from 0, the absolute types from their first
        // reading, and the others report the reading itself.
        ASSERT_EQ(posinstr_read_units(&p, POSINSTR_UNIT_MM, &out), NO_ERROR);
        const double expected = counter ? 7.0 : absolute ? (type == 6 ? 25.4 : 1.0) : 6.0;
        EXPECT_NEAR(p.position, expected, 1e-9);
    }
    EXPECT_EQ(messages_.text(), "");
}

TEST_F(PosInstrTest, AxiomWrapsAt31BitsWithoutOverflow) {
    PosInstrSimDevice* dev = posinstr_sim_install(POSINSTR_AXIOM);
    PosInstr p = record(POSINSTR_AXIOM);
    ASSERT_EQ(posinstr_init(&p, nullptr), NO_ERROR);

    dev->push_raw(0x7FFFFFF0);
    ASSERT_EQ(posinstr_read(&p), NO_ERROR);
    EXPECT_EQ(p.position, static_cast<double>(0x7FFFFFF0 - 0x80000000LL));
    double before = p.position;
    dev->push_raw(0x10);
    ASSERT_EQ(posinstr_read(&p), NO_ERROR);
    EXPECT_EQ(p.position - before, 32.0);
    EXPECT_EQ(p.lastRaw, 0x10);
    // Back through the wrap.
    dev->push_raw(0x7FFFFFF0);
    ASSERT_EQ(posinstr_read(&p), NO_ERROR);
    EXPECT_EQ(p.position, before);

    // The extremes of the 32-bit range step by one.
    p.lastRaw = INT32_MAX;
    p.position = 0;
    dev->push_raw(INT32_MIN);
    ASSERT_EQ(posinstr_read(&p), NO_ERROR);
    EXPECT_EQ(p.position, 1.0);
    dev->push_raw(INT32_MAX);
    ASSERT_EQ(posinstr_read(&p), NO_ERROR);
    EXPECT_EQ(p.position, 0.0);
    EXPECT_EQ(messages_.text(), "");
}

TEST_F(PosInstrTest, AxiomStatusWord) {
    PosInstrSimDevice* dev = posinstr_sim_install(POSINSTR_AXIOM);
    PosInstr p = record(POSINSTR_AXIOM, POSINSTR_UNIT_WAVE_24);
    ASSERT_EQ(posinstr_init(&p, nullptr), NO_ERROR);
    dev->push_raw(100);
    ASSERT_EQ(posinstr_read(&p), NO_ERROR);
    EXPECT_EQ(p.position, -100.0);

    dev->push_raw(150, POSINSTR_AXIOM_STATUS_ERROR);
    EXPECT_EQ(posinstr_read(&p), ERR_POS_INSTR_READ);
    EXPECT_EQ(messages_.text(),
              "pi_dmiCtrl::readPosAxiom - Error reading the position instrument\n"
              "pi_dmiCtrl_readPos: ERR_POS_INSTR_READ\n");
    EXPECT_EQ(p.position, -100.0);
    EXPECT_EQ(p.lastRaw, 100);

    // An unchanged counter is not judged by its status.
    dev->push_raw(100, POSINSTR_AXIOM_STATUS_ERROR);
    EXPECT_EQ(posinstr_read(&p), NO_ERROR);

    p.counterStatusFlag = true;
    dev->push_raw(101, POSINSTR_AXIOM_STATUS_FLAG);
    ASSERT_EQ(posinstr_read(&p), NO_ERROR);
    EXPECT_FALSE(p.counterStatusFlag);

    // A wrap stops the status checks for good.
    messages_.clear();
    dev->push_raw(101 + 0x60000000, POSINSTR_AXIOM_STATUS_ERROR);
    ASSERT_EQ(posinstr_read(&p), NO_ERROR);
    EXPECT_FALSE(p.checkReadStatus);
    dev->push_raw(200, POSINSTR_AXIOM_STATUS_ERROR);
    EXPECT_EQ(posinstr_read(&p), NO_ERROR);
    EXPECT_EQ(messages_.text(), "");
}

TEST_F(PosInstrTest, KmrCountsWrapsAndDirection) {
    PosInstrSimDevice* dev = posinstr_sim_install(POSINSTR_KMR);
    PosInstr p = record(POSINSTR_KMR, POSINSTR_UNIT_WAVE_24);
    ASSERT_EQ(posinstr_init(&p, nullptr), NO_ERROR);
    dev->push_raw(10);
    dev->push_raw(500);
    ASSERT_EQ(posinstr_read(&p), NO_ERROR);
    ASSERT_EQ(posinstr_read(&p), NO_ERROR);
    EXPECT_EQ(p.position, -500.0);  // code 24: the position falls as the counter rises

    p = record(POSINSTR_KMR);
    ASSERT_EQ(posinstr_init(&p, nullptr), NO_ERROR);
    p.lastRaw = INT32_MAX - 5;
    dev->push_raw(INT32_MAX, POSINSTR_KMR_STATUS_WRAPPED);
    ASSERT_EQ(posinstr_read(&p), NO_ERROR);
    EXPECT_EQ(p.position, 5.0 + INT32_MAX);  // beyond 32 bits, computed exactly
    p.position = 0;
    p.lastRaw = -5;
    dev->push_raw(3, POSINSTR_KMR_STATUS_WRAPPED);
    ASSERT_EQ(posinstr_read(&p), NO_ERROR);
    EXPECT_EQ(p.position, 3.0 - (-5.0 + 2147483648.0));

    dev->push_raw(9, 3);
    EXPECT_EQ(posinstr_read(&p), ERR_POS_INSTR_READ);
    EXPECT_EQ(messages_.text(),
              "pi_dmiCtrl::readPosKmr - pi_kmr_pos status: 3\n"
              "pi_dmiCtrl_readPos: ERR_POS_INSTR_READ\n");
    EXPECT_EQ(p.lastRaw, 3);
}

TEST_F(PosInstrTest, UnitConversions) {
    PosInstrSimDevice* dev = posinstr_sim_install(POSINSTR_LCDMI);
    PosInstr p = record(POSINSTR_LCDMI);
    double out;
    ASSERT_EQ(posinstr_read_units(&p, 14, &out), NO_ERROR);
    dev->push_value(1.0);
    ASSERT_EQ(posinstr_read_units(&p, 14, &out), NO_ERROR);
    EXPECT_DOUBLE_EQ(out, 0.03937007874015748);
    ASSERT_EQ(posinstr_read_units(&p, POSINSTR_UNIT_MM, &out), NO_ERROR);
    EXPECT_EQ(out, 1.0);
    ASSERT_EQ(posinstr_read_units(&p, 22, &out), NO_ERROR);
    EXPECT_DOUBLE_EQ(out, 1e6);
    EXPECT_EQ(messages_.text(), "");

    for (int code : {10, 23, 24}) {
        out = 0;
        EXPECT_EQ(posinstr_read_units(&p, code, &out), ERR_PARAM_OUT_OF_RANGE);
        EXPECT_EQ(out, HUGE_VAL);
    }
    EXPECT_NE(messages_.text().find("pi_dmiCtrl_readPos: ERR_PARAM_OUT_OF_RANGE\n"),
              std::string::npos);

    // The counting types: counts x wavelength / (scale x 254 or 256).
    PosInstrSimDevice* axiom = posinstr_sim_install(POSINSTR_AXIOM);
    PosInstr a = record(POSINSTR_AXIOM);
    ASSERT_EQ(posinstr_init(&a, nullptr), NO_ERROR);
    axiom->push_raw(508);
    ASSERT_EQ(posinstr_read_units(&a, 22, &out), NO_ERROR);
    EXPECT_DOUBLE_EQ(out, 2 * 632.991501);
    posinstr_sim_install(POSINSTR_KMR)->push_raw(512);
    PosInstr k = record(POSINSTR_KMR, POSINSTR_UNIT_WAVE_24);
    k.scale = 2;
    ASSERT_EQ(posinstr_init(&k, nullptr), NO_ERROR);
    ASSERT_EQ(posinstr_read_units(&k, 22, &out), NO_ERROR);
    EXPECT_DOUBLE_EQ(out, -632.991528);

    // No finite value: a failure, never a silent infinity.
    messages_.clear();
    a.scale = 0;
    EXPECT_EQ(posinstr_read_units(&a, 22, &out), ERR_INVALID_PARAM);
    EXPECT_EQ(out, HUGE_VAL);
    a.scale = 1;
    EXPECT_EQ(posinstr_read_units(&a, 23, &out), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(out, HUGE_VAL);
    a.unitsCode = 19;
    EXPECT_EQ(posinstr_read_units(&a, 22, &out), ERR_INVALID_PARAM);
    EXPECT_EQ(out, HUGE_VAL);
    EXPECT_EQ(messages_.text(),
              "pi_dmiCtrl_readPos: ERR_INVALID_PARAM\n"
              "pi_dmiCtrl_readPos: ERR_PARAM_OUT_OF_RANGE\n"
              "pi_dmiCtrl_readPos: ERR_INVALID_PARAM\n");

    EXPECT_DOUBLE_EQ(posinstr_units_per_metre(13) * 0.3048, 1.0);
    EXPECT_EQ(posinstr_units_per_metre(23), 0.0);
    EXPECT_EQ(posinstr_units_per_metre(-1), 0.0);
    EXPECT_EQ(posinstr_units_per_metre(53), 0.0);
}

TEST_F(PosInstrTest, InitialisationFailures) {
    struct Case {
        int type;
        int openResult, initResult, initStatus;
        int expected;
        const char* text;
    };
    const Case cases[] = {
        {3, ERR_POS_INSTR_COMM, 0, 0, ERR_POS_INSTR_COMM,
         "pi_dmiCtrl::initHeid - Error calling pi_heid_open: ERR_POS_INSTR_COMM\n"},
        {3, 0, ERR_POS_INSTR_INIT, 0, ERR_POS_INSTR_INIT,
         "pi_dmiCtrl::initHeid - Error calling pi_heid_init: ERR_POS_INSTR_INIT\n"},
        {3, 0, 0, 4, ERR_POS_INSTR_READ, "pi_dmiCtrl::initHeid - pi_heid_init status: 4\n"},
        {2, 0, 0, 1, ERR_POS_INSTR_READ, "pi_dmiCtrl::initKmr - pi_kmr_init status: 1\n"},
        {1, 0, ERR_AXIOM, 0, ERR_AXIOM,
         "pi_dmiCtrl::initAxiom - Error calling pi_axiom_init: ERR_AXIOM\n"},
        {1, 0, 0, 2, ERR_POS_INSTR_READ, "pi_dmiCtrl::initAxiom - pi_axiom_init status: 2\n"},
        {7, ERR_USDED2_LIB_NOT_LOADED, 0, 0, ERR_CANT_ACCESS_USDED2,
         "pi_dmiCtrl::initUsded2 - Error calling pi_usded2_open: ERR_USDED2_LIB_NOT_LOADED\n"},
        {11, ERR_CAN_SDO_DMI_ERROR, 0, 0, ERR_CAN_SDO_DMI_ERROR,
         "pi_dmiCtrl::initRenishawStepnet - Error calling pi_renishaw_stepnet_open: "
         "ERR_CAN_SDO_DMI_ERROR\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        messages_.clear();
        PosInstrSimDevice* dev = posinstr_sim_install(c.type);
        dev->openResult = c.openResult;
        dev->initResult = c.initResult;
        dev->initStatus = c.initStatus;
        PosInstr p = record(c.type);
        EXPECT_EQ(posinstr_init(&p, nullptr), c.expected);
        EXPECT_EQ(messages_.text(),
                  std::string(c.text) + "pi_dmiCtrl_initDmi: " + u_error_name(c.expected) + "\n");
        EXPECT_FALSE(p.initialised);
    }

    // Other types do not judge the device status; an open device is not reopened.
    PosInstrSimDevice* dev = posinstr_sim_install(POSINSTR_LCDMI);
    dev->initStatus = 9;
    PosInstr p = record(POSINSTR_LCDMI);
    p.handle = 12;
    messages_.clear();
    EXPECT_EQ(posinstr_init(&p, nullptr), NO_ERROR);
    EXPECT_EQ(dev->opens, 0);
    EXPECT_EQ(p.handle, 12);

    // No driver installed; no instrument at all.
    p = record(POSINSTR_KMR501);
    EXPECT_EQ(posinstr_init(&p, nullptr), ERR_NO_POSITION_INSTR);
    EXPECT_EQ(messages_.text(),
              "pi_dmiCtrl::initKmr501 - Error calling pi_kmr501_open: ERR_NO_POSITION_INSTR\n"
              "pi_dmiCtrl_initDmi: ERR_NO_POSITION_INSTR\n");
    for (int type : {0, 5, 13, -1}) {
        messages_.clear();
        p = record(type);
        double out = 0;
        EXPECT_EQ(posinstr_read_units(&p, 19, &out), ERR_NO_ACTIVE_DMI_FOR_INSTR);
        EXPECT_EQ(out, HUGE_VAL);
        EXPECT_EQ(messages_.text(),
                  "pi_dmiCtrl_initDmi: ERR_NO_ACTIVE_DMI_FOR_INSTR\n"
                  "pi_dmiCtrl_readPos: ERR_NO_ACTIVE_DMI_FOR_INSTR\n");
    }
    EXPECT_EQ(posinstr_init(nullptr, nullptr), ERR_NO_ACTIVE_DMI_FOR_INSTR);
    EXPECT_EQ(posinstr_read(nullptr), ERR_NO_ACTIVE_DMI_FOR_INSTR);
    EXPECT_EQ(posinstr_set_driver(POSINSTR_ZENCODER, nullptr), ERR_INVALID_PARAM);
}

TEST_F(PosInstrTest, ReadFailuresKeepThePosition) {
    PosInstrSimDevice* dev = posinstr_sim_install(POSINSTR_HEID);
    dev->push_value(2.0);
    dev->push_value(2.5);
    PosInstr p = record(POSINSTR_HEID);
    ASSERT_EQ(posinstr_init(&p, nullptr), NO_ERROR);
    EXPECT_EQ(p.zeroOffset, 2.0);
    ASSERT_EQ(posinstr_read(&p), NO_ERROR);
    EXPECT_EQ(p.position, 0.5);

    dev->push_value(9.0, 5);
    EXPECT_EQ(posinstr_read(&p), ERR_POS_INSTR_READ);
    dev->push_failure(ERR_POS_INSTR_COMM);
    EXPECT_EQ(posinstr_read(&p), ERR_POS_INSTR_COMM);
    EXPECT_EQ(p.position, 0.5);
    EXPECT_EQ(messages_.text(),
              "pi_dmiCtrl::readPosHeid - pi_heid_pos status: 5\n"
              "pi_dmiCtrl_readPos: ERR_POS_INSTR_READ\n"
              "pi_dmiCtrl::readPosHeid - Error calling pi_heid_pos: ERR_POS_INSTR_COMM\n"
              "pi_dmiCtrl_readPos: ERR_POS_INSTR_COMM\n");

    // A re-initialisation whose zero reading fails keeps the old position and
    // initialises again on the next units reading.
    EXPECT_EQ(posinstr_init(&p, nullptr), ERR_POS_INSTR_COMM);
    EXPECT_EQ(p.position, 0.5);
    EXPECT_EQ(p.zeroOffset, 2.0);
    EXPECT_FALSE(p.initialised);
    dev->push_value(4.0);
    double out = -1;
    ASSERT_EQ(posinstr_read_units(&p, POSINSTR_UNIT_MM, &out), NO_ERROR);
    EXPECT_EQ(out, 0.0);
    EXPECT_EQ(p.zeroOffset, 4.0);
}

TEST_F(PosInstrTest, ZEncoderNeedsTheMotionController) {
    PosInstr p = record(POSINSTR_ZENCODER);
    EXPECT_EQ(posinstr_init(&p, nullptr), ERR_MC_NOT_AVAIL);
    EXPECT_EQ(messages_.text(),
              "pi_dmiCtrl::initZEncoder - No active motion controller\n"
              "pi_dmiCtrl_initDmi: ERR_MC_NOT_AVAIL\n");

    PosInstrSimMotion* motion = posinstr_sim_install_motion();
    motion->zAxis = POSINSTR_NO_Z_AXIS;
    messages_.clear();
    EXPECT_EQ(posinstr_init(&p, nullptr), ERR_MC_NO_ACTIVE_ZENCODER);
    EXPECT_EQ(messages_.text(),
              "pi_dmiCtrl::initZEncoder - No Z axis\n"
              "pi_dmiCtrl_initDmi: ERR_MC_NO_ACTIVE_ZENCODER\n");

    motion->zAxis = POSINSTR_Z_AXIS_ENCODER_HOMING;
    motion->homeResult = ERR_MC_NOT_AVAIL;
    messages_.clear();
    EXPECT_EQ(posinstr_init(&p, nullptr), ERR_POS_INSTR_INIT);
    EXPECT_EQ(messages_.text(),
              "pi_dmiCtrl::initZEncoder - Error calling mc_find_home: ERR_MC_NOT_AVAIL\n"
              "pi_dmiCtrl_initDmi: ERR_POS_INSTR_INIT\n");

    motion->homeResult = NO_ERROR;
    motion->push_inches(1.0);
    motion->push_inches(2.0);
    ASSERT_EQ(posinstr_init(&p, nullptr), NO_ERROR);
    EXPECT_EQ(motion->homes, 2);
    ASSERT_EQ(posinstr_read(&p), NO_ERROR);
    EXPECT_DOUBLE_EQ(p.position, 25.4);

    posinstr_set_motion_hooks(nullptr);
    messages_.clear();
    EXPECT_EQ(posinstr_read(&p), ERR_MC_NOT_AVAIL);
    EXPECT_EQ(messages_.text(),
              "pi_dmiCtrl::readPosZEncoder - No active motion controller\n"
              "pi_dmiCtrl_readPos: ERR_MC_NOT_AVAIL\n");
    EXPECT_DOUBLE_EQ(p.position, 25.4);
}

}  // namespace
