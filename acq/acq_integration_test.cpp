// Board type 6's integration-period code: the arithmetic on both sides of
// every limit.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "acq/acq.h"
#include "common/status.h"

namespace {

int code_of(double t, bool live, double* used = nullptr) {
    int code = -1;
    double u = 0;
    int err = acq_integration_code(t, live, &code, &u);
    if (used != nullptr) *used = u;
    return err == NO_ERROR ? code : -err;
}

TEST(AcqIntegrationCode, WholeDoublingsLeaveTheFractionToTheFineStep) {
    // 1 ms: 1.58 doublings of the base; taking the fraction into the coarse
    // step would leave the fine step at 0 and give 32 (0.67 ms).
    EXPECT_EQ(code_of(0.001, false), 48);
    // Below one doubling the coarse step is 0.
    EXPECT_EQ(code_of(5e-4, false), 16);
    // Shorter than the base: the fine step stops at 0 instead of going negative.
    EXPECT_EQ(code_of(1e-4, false), 0);
}

TEST(AcqIntegrationCode, LivePeriodsAbove32MsAreAveragedWith32Ms) {
    double used = 0;
    EXPECT_EQ(code_of(0.05, true, &used), 221);
    EXPECT_NEAR(used, 0.041, 1e-12);
    EXPECT_EQ(code_of(0.032, true, &used), code_of(0.032, false));
    EXPECT_DOUBLE_EQ(used, 0.032);
    code_of(0.0321, true, &used);
    EXPECT_NEAR(used, 0.03205, 1e-12);
    // Grabs take the period as it is.
    code_of(0.05, false, &used);
    EXPECT_DOUBLE_EQ(used, 0.05);
}

TEST(AcqIntegrationCode, CodesAbove255AndUnusablePeriodsAreRefused) {
    EXPECT_EQ(code_of(0.084, false), 255);
    EXPECT_EQ(code_of(0.085, false), -ERR_ACQ_INVALID_MODE);
    EXPECT_EQ(code_of(1.0, false), -ERR_ACQ_INVALID_MODE);
    EXPECT_EQ(code_of(0.0, false), -ERR_ACQ_INVALID_MODE);
    EXPECT_EQ(code_of(-0.001, false), -ERR_ACQ_INVALID_MODE);
    EXPECT_EQ(code_of(std::numeric_limits<double>::quiet_NaN(), false), -ERR_ACQ_INVALID_MODE);
    EXPECT_EQ(code_of(std::numeric_limits<double>::infinity(), true), -ERR_ACQ_INVALID_MODE);
    EXPECT_GT(code_of(1e-300, false), -1);  // tiny but positive is the shortest code
}

}  // namespace
