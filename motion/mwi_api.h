// The motion wrapper library's interface: the entry points the program
// resolves by name from "MotionWrapperInterface.dll"
// (libMotionWrapperInterface.so here), shared by the loader in motion/ and by
// the simulated library in sim/motion/, so both sides agree on every argument.
//
// Conventions: every entry but GetErrorString_MWI, GetConfigurationFile_MWI
// and HasEvent_MWI returns a library result code (0 = success, see
// mwi_result_to_error); RegisterCanEvents_MWI returns nonzero on success.
// Axes are numbered from 0; positions, travel and pitch are in millimetres,
// velocities in millimetres per second, accelerations in mm/s^2. Texts the
// library returns live in its own storage until the next call on the handle
// and may be null.
#pragma once

#include <cstdint>

extern "C" {

using MwiHandle = int64_t;

// The CAN callbacks the library calls while it holds the CAN connection: a
// PDO (COB-ID, a value, 8 data bytes) and an emergency (three values, a byte,
// 4 bytes, a byte, and a final byte).
using MwiPdoCallback = void (*)(uint32_t cobId, uint32_t value, const uint8_t* data);
using MwiEmcyCallback = void (*)(uint32_t value1, uint32_t value2, uint32_t value3, uint8_t byte1,
                                 const uint32_t* value4, uint8_t byte2, uint8_t last);

// Axis status bits (GetAxisStatus_MWI) and controller status bits
// (GetStatus_MWI: the OR of every axis's bits).
constexpr int32_t MWI_AXIS_MOVING = 0x1;
constexpr int32_t MWI_AXIS_HOMED = 0x2;
constexpr int32_t MWI_AXIS_AT_LIMIT = 0x4;
constexpr int32_t MWI_AXIS_ERROR = 0x8;

// Home states (GetHomeState_MWI).
constexpr int32_t MWI_HOME_NONE = 0;
constexpr int32_t MWI_HOME_SEARCHING = 1;
constexpr int32_t MWI_HOME_FOUND = 2;
constexpr int32_t MWI_HOME_FAILED = 3;

// Home types (GetHomeType_MWI): by limit switch, or by the axis's encoder.
constexpr int32_t MWI_HOME_BY_SWITCH = 1;
constexpr int32_t MWI_HOME_BY_ENCODER = 2;

// Move modes (SetMoveMode_MWI).
constexpr int32_t MWI_MOVE_ABSOLUTE = 0;
constexpr int32_t MWI_MOVE_RELATIVE = 1;

// Event codes (GetEvent_MWI).
constexpr int32_t MWI_EVENT_ESTOP_CLEARED = 3;
constexpr int32_t MWI_EVENT_ESTOP = 5;

constexpr int MWI_LABEL_MAX = 16;  // GetLabel_MWI's buffer, with the terminator

using CheckForEStopEvent_MWI_t = int32_t (*)(MwiHandle h, int32_t* occurred);
using CloseComm_MWI_t = int32_t (*)(MwiHandle h);
using CloseMotionWrapperInterface_MWI_t = int32_t (*)();
using DisableAxisJoystick_MWI_t = int32_t (*)(MwiHandle h, int16_t axis);
using DisableJoystick_MWI_t = int32_t (*)(MwiHandle h);
using DisablePositionReports_MWI_t = int32_t (*)(MwiHandle h);
using EnableAxisJoystick_MWI_t = int32_t (*)(MwiHandle h, int16_t axis);
using EnableJoystick_MWI_t = int32_t (*)(MwiHandle h);
using EnablePositionReports_MWI_t = int32_t (*)(MwiHandle h);
using FindHome_MWI_t = int32_t (*)(MwiHandle h, int16_t axis);
using GetAcceleration_MWI_t = int32_t (*)(MwiHandle h, int16_t axis, double* out);
using GetAxisError_MWI_t = int32_t (*)(MwiHandle h, int16_t axis, int32_t* out);
using GetAxisStatus_MWI_t = int32_t (*)(MwiHandle h, int16_t axis, int32_t* out);
using GetError_MWI_t = int32_t (*)(MwiHandle h, int32_t* out);
using GetErrorString_MWI_t = const char* (*)(MwiHandle h);
using GetEvent_MWI_t = int32_t (*)(MwiHandle h, int32_t* code);
using GetHomeState_MWI_t = int32_t (*)(MwiHandle h, int16_t axis, int32_t* out);
using GetHomeType_MWI_t = int32_t (*)(MwiHandle h, int16_t axis, int32_t* out);
using GetIsJoystickEnabled_MWI_t = int32_t (*)(MwiHandle h, int32_t* out);
using GetLabel_MWI_t = int32_t (*)(MwiHandle h, int16_t axis, char* label, int32_t size);
using GetNodeId_MWI_t = int32_t (*)(MwiHandle h, int16_t axis, int32_t* out);
using GetPitch_MWI_t = int32_t (*)(MwiHandle h, int16_t axis, double* out);
using GetPosition_MWI_t = int32_t (*)(MwiHandle h, int16_t axis, double* out);
using GetStatus_MWI_t = int32_t (*)(MwiHandle h, int32_t* out);
using GetTravelMax_MWI_t = int32_t (*)(MwiHandle h, int16_t axis, double* out);
using GetTravelMin_MWI_t = int32_t (*)(MwiHandle h, int16_t axis, double* out);
using GetTravelZero_MWI_t = int32_t (*)(MwiHandle h, int16_t axis, double* out);
using GetVelocity_MWI_t = int32_t (*)(MwiHandle h, int16_t axis, double* out);
using HasEvent_MWI_t = int32_t (*)(MwiHandle h);
using InitMotionWrapperInterface_MWI_t = int32_t (*)();
using Move_MWI_t = int32_t (*)(MwiHandle h, int16_t axis, double position);
using SetAcceleration_MWI_t = int32_t (*)(MwiHandle h, int16_t axis, double value);
using SetMoveMode_MWI_t = int32_t (*)(MwiHandle h, int16_t axis, int32_t mode);
using SetPositionReport_MWI_t = int32_t (*)(MwiHandle h, int16_t axis, int32_t on);
using SetVelocity_MWI_t = int32_t (*)(MwiHandle h, int16_t axis, double value);
using Stop_MWI_t = int32_t (*)(MwiHandle h);
using StopAxis_MWI_t = int32_t (*)(MwiHandle h, int16_t axis);
using GetActualPosition_MWI_t = int32_t (*)(MwiHandle h, int16_t axis, double* out);
using GetCommandedPosition_MWI_t = int32_t (*)(MwiHandle h, int16_t axis, double* out);
using RegisterCanEvents_MWI_t = int32_t (*)(MwiHandle h, MwiPdoCallback pdo, MwiEmcyCallback emcy);
using UnregisterCanEvents_MWI_t = int32_t (*)(MwiHandle h);
using DmiReset_MWI_t = int32_t (*)(MwiHandle h);
using GetDmiCaptureBufferSize_MWI_t = int32_t (*)(MwiHandle h, int32_t* out);
using GetDmiCaptureBuffer_MWI_t = int32_t (*)(MwiHandle h, double* values, int32_t count);
using GetDmiPosition_MWI_t = int32_t (*)(MwiHandle h, double* out);
using GetDmiPreset_MWI_t = int32_t (*)(MwiHandle h, double* out);
using GetDmiStatus_MWI_t = int32_t (*)(MwiHandle h, int32_t* out);
using GetExternalClosedLoopAmplifierFault_MWI_t = int32_t (*)(MwiHandle h, int16_t axis,
                                                              int32_t* out);
using GetExternalClosedLoopEnabled_MWI_t = int32_t (*)(MwiHandle h, int16_t axis, int32_t* out);
using GetIsDmiBufferReady_MWI_t = int32_t (*)(MwiHandle h, int32_t* out);
using GetSupportsExternalClosedLoop_MWI_t = int32_t (*)(MwiHandle h, int16_t axis, int32_t* out);
using SetDmiCaptureTrigger_MWI_t = int32_t (*)(MwiHandle h, int32_t trigger);
using SetDmiPreset_MWI_t = int32_t (*)(MwiHandle h, double value);
using SetExternalClosedLoopEnabled_MWI_t = int32_t (*)(MwiHandle h, int16_t axis, int32_t on);
using SetAlignViewIndicator_MWI_t = int32_t (*)(MwiHandle h, int32_t state);
using GetConfigurationFile_MWI_t = const char* (*)(MwiHandle h);

// The three calling forms of OpenComm_MWI: configuration name, the CAN
// bridge's 6 MAC bytes, out handle, then a flag byte and a 32-bit value.
using MwiOpenComm3_t = int32_t (*)(const char* configuration, const uint8_t* mac, MwiHandle* out);
using MwiOpenComm4_t = int32_t (*)(const char* configuration, const uint8_t* mac, MwiHandle* out,
                                   uint8_t flag);
using MwiOpenComm5_t = int32_t (*)(const char* configuration, const uint8_t* mac, MwiHandle* out,
                                   uint8_t flag, int32_t value);
using OpenComm_MWI_t = MwiOpenComm5_t;

}  // extern "C"

// How an entry's absence is treated.
enum MwiEntryKind {
    MWI_REQUIRED,  // missing: the load fails
    MWI_POSITION,  // one of the two position styles must be complete
    MWI_CAN,       // the CAN pair: both or neither
    MWI_DMI,       // the DMI group: all or none
    MWI_OPTIONAL,  // may be missing alone
};

// X(slot, exported name, type, kind) in resolution order. OpenComm_MWI is
// resolved into three slots, one per calling form.
#define MWI_ENTRY_LIST(X)                                                                        \
    X(CheckForEStopEvent_MWI, CheckForEStopEvent_MWI, CheckForEStopEvent_MWI_t, MWI_REQUIRED)    \
    X(CloseComm_MWI, CloseComm_MWI, CloseComm_MWI_t, MWI_REQUIRED)                               \
    X(CloseMotionWrapperInterface_MWI, CloseMotionWrapperInterface_MWI,                          \
      CloseMotionWrapperInterface_MWI_t, MWI_REQUIRED)                                           \
    X(DisableAxisJoystick_MWI, DisableAxisJoystick_MWI, DisableAxisJoystick_MWI_t, MWI_REQUIRED) \
    X(DisableJoystick_MWI, DisableJoystick_MWI, DisableJoystick_MWI_t, MWI_REQUIRED)             \
    X(DisablePositionReports_MWI, DisablePositionReports_MWI, DisablePositionReports_MWI_t,      \
      MWI_REQUIRED)                                                                              \
    X(EnableAxisJoystick_MWI, EnableAxisJoystick_MWI, EnableAxisJoystick_MWI_t, MWI_REQUIRED)    \
    X(EnableJoystick_MWI, EnableJoystick_MWI, EnableJoystick_MWI_t, MWI_REQUIRED)                \
    X(EnablePositionReports_MWI, EnablePositionReports_MWI, EnablePositionReports_MWI_t,         \
      MWI_REQUIRED)                                                                              \
    X(FindHome_MWI, FindHome_MWI, FindHome_MWI_t, MWI_REQUIRED)                                  \
    X(GetAcceleration_MWI, GetAcceleration_MWI, GetAcceleration_MWI_t, MWI_REQUIRED)             \
    X(GetAxisError_MWI, GetAxisError_MWI, GetAxisError_MWI_t, MWI_REQUIRED)                      \
    X(GetAxisStatus_MWI, GetAxisStatus_MWI, GetAxisStatus_MWI_t, MWI_REQUIRED)                   \
    X(GetError_MWI, GetError_MWI, GetError_MWI_t, MWI_REQUIRED)                                  \
    X(GetErrorString_MWI, GetErrorString_MWI, GetErrorString_MWI_t, MWI_REQUIRED)                \
    X(GetEvent_MWI, GetEvent_MWI, GetEvent_MWI_t, MWI_REQUIRED)                                  \
    X(GetHomeState_MWI, GetHomeState_MWI, GetHomeState_MWI_t, MWI_REQUIRED)                      \
    X(GetHomeType_MWI, GetHomeType_MWI, GetHomeType_MWI_t, MWI_REQUIRED)                         \
    X(GetIsJoystickEnabled_MWI, GetIsJoystickEnabled_MWI, GetIsJoystickEnabled_MWI_t,            \
      MWI_REQUIRED)                                                                              \
    X(GetLabel_MWI, GetLabel_MWI, GetLabel_MWI_t, MWI_REQUIRED)                                  \
    X(GetNodeId_MWI, GetNodeId_MWI, GetNodeId_MWI_t, MWI_REQUIRED)                               \
    X(GetPitch_MWI, GetPitch_MWI, GetPitch_MWI_t, MWI_REQUIRED)                                  \
    X(GetPosition_MWI, GetPosition_MWI, GetPosition_MWI_t, MWI_POSITION)                         \
    X(GetStatus_MWI, GetStatus_MWI, GetStatus_MWI_t, MWI_REQUIRED)                               \
    X(GetTravelMax_MWI, GetTravelMax_MWI, GetTravelMax_MWI_t, MWI_REQUIRED)                      \
    X(GetTravelMin_MWI, GetTravelMin_MWI, GetTravelMin_MWI_t, MWI_REQUIRED)                      \
    X(GetTravelZero_MWI, GetTravelZero_MWI, GetTravelZero_MWI_t, MWI_REQUIRED)                   \
    X(GetVelocity_MWI, GetVelocity_MWI, GetVelocity_MWI_t, MWI_REQUIRED)                         \
    X(HasEvent_MWI, HasEvent_MWI, HasEvent_MWI_t, MWI_REQUIRED)                                  \
    X(InitMotionWrapperInterface_MWI, InitMotionWrapperInterface_MWI,                            \
      InitMotionWrapperInterface_MWI_t, MWI_REQUIRED)                                            \
    X(Move_MWI, Move_MWI, Move_MWI_t, MWI_REQUIRED)                                              \
    X(OpenComm3, OpenComm_MWI, MwiOpenComm3_t, MWI_REQUIRED)                                     \
    X(SetAcceleration_MWI, SetAcceleration_MWI, SetAcceleration_MWI_t, MWI_REQUIRED)             \
    X(SetMoveMode_MWI, SetMoveMode_MWI, SetMoveMode_MWI_t, MWI_REQUIRED)                         \
    X(SetPositionReport_MWI, SetPositionReport_MWI, SetPositionReport_MWI_t, MWI_REQUIRED)       \
    X(SetVelocity_MWI, SetVelocity_MWI, SetVelocity_MWI_t, MWI_REQUIRED)                         \
    X(Stop_MWI, Stop_MWI, Stop_MWI_t, MWI_REQUIRED)                                              \
    X(StopAxis_MWI, StopAxis_MWI, StopAxis_MWI_t, MWI_REQUIRED)                                  \
    X(GetActualPosition_MWI, GetActualPosition_MWI, GetActualPosition_MWI_t, MWI_POSITION)       \
    X(GetCommandedPosition_MWI, GetCommandedPosition_MWI, GetCommandedPosition_MWI_t,            \
      MWI_POSITION)                                                                              \
    X(RegisterCanEvents_MWI, RegisterCanEvents_MWI, RegisterCanEvents_MWI_t, MWI_CAN)            \
    X(UnregisterCanEvents_MWI, UnregisterCanEvents_MWI, UnregisterCanEvents_MWI_t, MWI_CAN)      \
    X(DmiReset_MWI, DmiReset_MWI, DmiReset_MWI_t, MWI_DMI)                                       \
    X(GetDmiCaptureBufferSize_MWI, GetDmiCaptureBufferSize_MWI, GetDmiCaptureBufferSize_MWI_t,   \
      MWI_DMI)                                                                                   \
    X(GetDmiCaptureBuffer_MWI, GetDmiCaptureBuffer_MWI, GetDmiCaptureBuffer_MWI_t, MWI_DMI)      \
    X(GetDmiPosition_MWI, GetDmiPosition_MWI, GetDmiPosition_MWI_t, MWI_DMI)                     \
    X(GetDmiPreset_MWI, GetDmiPreset_MWI, GetDmiPreset_MWI_t, MWI_DMI)                           \
    X(GetDmiStatus_MWI, GetDmiStatus_MWI, GetDmiStatus_MWI_t, MWI_DMI)                           \
    X(GetExternalClosedLoopAmplifierFault_MWI, GetExternalClosedLoopAmplifierFault_MWI,          \
      GetExternalClosedLoopAmplifierFault_MWI_t, MWI_DMI)                                        \
    X(GetExternalClosedLoopEnabled_MWI, GetExternalClosedLoopEnabled_MWI,                        \
      GetExternalClosedLoopEnabled_MWI_t, MWI_DMI)                                               \
    X(GetIsDmiBufferReady_MWI, GetIsDmiBufferReady_MWI, GetIsDmiBufferReady_MWI_t, MWI_DMI)      \
    X(GetSupportsExternalClosedLoop_MWI, GetSupportsExternalClosedLoop_MWI,                      \
      GetSupportsExternalClosedLoop_MWI_t, MWI_DMI)                                              \
    X(OpenComm4, OpenComm_MWI, MwiOpenComm4_t, MWI_REQUIRED)                                     \
    X(SetDmiCaptureTrigger_MWI, SetDmiCaptureTrigger_MWI, SetDmiCaptureTrigger_MWI_t, MWI_DMI)   \
    X(SetDmiPreset_MWI, SetDmiPreset_MWI, SetDmiPreset_MWI_t, MWI_DMI)                           \
    X(SetExternalClosedLoopEnabled_MWI, SetExternalClosedLoopEnabled_MWI,                        \
      SetExternalClosedLoopEnabled_MWI_t, MWI_DMI)                                               \
    X(OpenComm5, OpenComm_MWI, MwiOpenComm5_t, MWI_REQUIRED)                                     \
    X(SetAlignViewIndicator_MWI, SetAlignViewIndicator_MWI, SetAlignViewIndicator_MWI_t,         \
      MWI_OPTIONAL)                                                                              \
    X(GetConfigurationFile_MWI, GetConfigurationFile_MWI, GetConfigurationFile_MWI_t, MWI_OPTIONAL)

// The library's documented name; loaded as libMotionWrapperInterface.so.
constexpr const char* MWI_LIBRARY_NAME = "MotionWrapperInterface.dll";
