// Control API of the simulated motion wrapper library
// (libMotionWrapperInterface.so), which exports the *_MWI entries of
// motion/mwi_api.h. Tests and the demo configure it through these simmotion_*
// entries: result codes per entry, the error text, a slow open, axes that
// move at finite speed on the library's clock, an event queue, and a
// transcript of every call and every CAN event it delivered.
//
// While a handle has registered for CAN events, the simulated bench routes
// the simulated bridge's PDOs and emergencies here (SIMBENCH_CAN_MOTION) and
// the library hands them to the program's callbacks on the emitter's thread,
// with no lock of its own held. Unregistering, or closing that handle, gives
// them back to the bridge.
//
// Built once per variant, each alone in its own directory: the full library
// in ${PROJECT_BINARY_DIR}/simlib, and simlib-motion-<variant>/ for
// nomove (no Move_MWI, Stop_MWI), allpos (GetPosition_MWI and the
// Actual/Commanded pair), pairpos (the pair only), nounreg (no
// UnregisterCanEvents_MWI), nodmipreset (no GetDmiPreset_MWI) and nooptional
// (no SetAlignViewIndicator_MWI, GetConfigurationFile_MWI).
#pragma once

#include <cstdint>

extern "C" {

// Back to the start: not initialised, no handle open, no scripted result,
// error text "", no open delay, the event queue and transcript empty, CAN
// events with the bridge, and three axes: 0 "X" and 1 "Y" homed by switch,
// 2 "Z" homed by its encoder, each at 0 mm, travel -50 to 50 mm, home at 0,
// 10 mm/s, not homed.
using simmotion_reset_t = void (*)();

// The next `count` calls of `entry` (count < 0: all of them) do nothing and
// return `code` (for RegisterCanEvents_MWI 0 is the failure). Count 0 clears.
using simmotion_set_result_t = void (*)(const char* entry, int32_t code, int count);
// What GetErrorString_MWI returns; null makes it return null.
using simmotion_set_error_text_t = void (*)(const char* text);
// What GetConfigurationFile_MWI returns (null: null); by default the opened
// configuration's name followed by ".cfg".
using simmotion_set_config_file_t = void (*)(const char* text);
// OpenComm_MWI takes this long (library clock) before it answers.
using simmotion_set_open_delay_t = void (*)(int64_t ms);

// Adds or replaces axis 0 to 15.
using simmotion_axis_add_t = bool (*)(int axis, const char* label, double positionMm, double minMm,
                                      double maxMm, int32_t homeType);
using simmotion_axis_remove_t = void (*)(int axis);
// The axis's actual position now; NaN for a missing axis.
using simmotion_axis_position_t = double (*)(int axis);

// Queues a library event (HasEvent_MWI / GetEvent_MWI).
using simmotion_push_event_t = void (*)(int32_t code);

// InitMotionWrapperInterface_MWI called and not closed since.
using simmotion_initialised_t = bool (*)();
// Handles open now.
using simmotion_open_count_t = int (*)();
// A handle has registered for CAN events.
using simmotion_can_registered_t = bool (*)();
// Calls of an entry since the reset.
using simmotion_calls_t = int (*)(const char* entry);
// The last OpenComm_MWI's arguments (outputs may be null); false before one.
using simmotion_last_open_t = bool (*)(char* configuration, int size, uint8_t* mac6, uint8_t* flag,
                                       int32_t* value);

// The transcript: one line per call ("Move_MWI(1, 0, 5.000) = 0") and per
// delivery ("pdo 0x1C0 -> program"), the first 10000 since the reset or
// clear; HasEvent_MWI and GetErrorString_MWI are counted but not written.
using simmotion_transcript_count_t = int (*)();
// Copies line i (cut to fit `size`); false when there is none.
using simmotion_transcript_line_t = bool (*)(int i, char* text, int size);
using simmotion_transcript_clear_t = void (*)();

}  // extern "C"

// X(name) for each control entry, for loaders that resolve them all.
#define SIMMOTION_ENTRY_LIST(X)   \
    X(simmotion_reset)            \
    X(simmotion_set_result)       \
    X(simmotion_set_error_text)   \
    X(simmotion_set_config_file)  \
    X(simmotion_set_open_delay)   \
    X(simmotion_axis_add)         \
    X(simmotion_axis_remove)      \
    X(simmotion_axis_position)    \
    X(simmotion_push_event)       \
    X(simmotion_initialised)      \
    X(simmotion_open_count)       \
    X(simmotion_can_registered)   \
    X(simmotion_calls)            \
    X(simmotion_last_open)        \
    X(simmotion_transcript_count) \
    X(simmotion_transcript_line)  \
    X(simmotion_transcript_clear)
