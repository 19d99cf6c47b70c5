// Device event polling: a fixed table of devices, each with a poll function
// that tells without blocking whether the device has data, and one worker
// thread that sweeps the table on request. dev_data_read waits for data on
// any device of a type mask through that worker.
#pragma once

#include <cstdint>

constexpr int DEV_MAX_DEVICES = 10;

// Device types: single bits. DEV_ALL_TYPES as a mask means every type.
constexpr int DEV_TYPE_MOTION = 1;
constexpr int DEV_TYPE_SERIAL_2 = 2;
constexpr int DEV_TYPE_SERIAL_4 = 4;
constexpr int DEV_TYPE_SERIAL_8 = 8;
constexpr int DEV_TYPE_SERIAL_16 = 16;
constexpr int DEV_TYPE_KEYBOARD = 32;
constexpr int DEV_TYPE_CAN = 64;
constexpr int DEV_ALL_TYPES = 0xffff;

// dev_data_read's answer when no device has data.
constexpr int DEV_NO_DATA = 0x10000;

// The poll function of a device: true when data is waiting. Runs on the
// worker thread with no lock of this module held: it may take its own
// module's locks and call the dev_ functions other than dev_data_read and
// dev_close_cntrl (which wait for the worker). It should answer at once.
// dev_remove_device and dev_close_cntrl wait for a poll that is running, so
// a thread must not call them while it holds a lock that poll takes (or the
// poll only tries that lock).
using DevPollFn = bool (*)(void* handle, void* owner);

struct DevInfo {
    void* handle;       // DEV_NO_HANDLE when the slot is free
    int state;          // -1 free, 1 in use
    int type;           // one type bit
    int eventsEnabled;  // 1 polled, 0 suspended
    DevPollFn poll;     // may be null: never reported
    void* owner;        // what the poll function needs besides the handle
};

// The handle value of a free slot, refused as a device handle.
inline void* const DEV_NO_HANDLE = reinterpret_cast<void*>(static_cast<intptr_t>(-1));

extern DevInfo gl_DevInfo[DEV_MAX_DEVICES];

// True for exactly the seven type bits.
bool dev_type_valid(int type);

// Prepares the table (cleared when first initialised or when `reset`), the
// four events and the worker thread. 0 or ERR_DEV_CNTRL.
int dev_init_cntrl(bool reset);

// Stops and joins the worker, then closes the events. Registrations are kept
// until the next dev_init_cntrl with reset. Always 0.
int dev_close_cntrl();

// Registers a device in the lowest free slot. For a type-1 device `owner` is
// the motion controller's record, whose communication kind (see
// dev_set_comm_kind_query) chooses the poll function.
int dev_add_device(int type, void* handle, void* owner);
// Returns once no poll of `handle` is running (also when the handle was not
// found), so the caller may then free it.
int dev_remove_device(void* handle);
bool dev_is_registered(void* handle);
int dev_set_event_state(void* handle, int enabled);

// Number of registered devices.
int dev_device_count();

// Returns the type bit of a device of `mask` with data, its slot in *out, or
// DEV_NO_DATA after one round (about 100 ms) without data when `wait` is
// false. With `wait` true it keeps polling until a device has data (or the
// controller is closed). Refused masks and an uninitialised controller give
// 0. Calls from several threads run one after the other.
int dev_data_read(int mask, DevInfo* out, bool wait);

// Ends the round in progress, if any, without waiting for it: the worker
// polls no further device in it and its caller's round ends at once (a
// caller waiting for data starts its next round). Like the other dev_
// calls it may be made from a poll function.
void dev_stop_sweep();
// Poll functions are chosen at registration: the serial input test (types 2
// to 16, type 1 over a serial line) is built in; the others come from the
// modules that own those devices.
enum DevPollKind {
    DEV_POLL_SERIAL_INPUT,  // built in; replacing it is allowed
    DEV_POLL_EVENT,         // type 1: the controller's event object is signalled
    DEV_POLL_LIBRARY,       // type 1: the motion library reports an event
    DEV_POLL_CAN_QUEUE,     // type 64: the CAN event queues hold entries
    DEV_POLL_KIND_COUNT
};

// Installs the poll function of a kind; null puts back the default (the
// built-in test for DEV_POLL_SERIAL_INPUT, none for the others). Devices
// registered earlier keep the function they got.
void dev_set_poll_function(DevPollKind kind, DevPollFn poll);

// The communication kind of a motion controller's record: 1 serial, 2 event
// object, 3 motion library. Installed by the motion module; without it a
// type-1 device is refused with ERR_MC_NOT_AVAIL.
using DevCommKindFn = int (*)(const void* owner);
void dev_set_comm_kind_query(DevCommKindFn query);

// The serial input test: the port's error/status query succeeds, reports no
// error and at least one byte waiting. `handle` is a SerialHandle.
bool dev_serial_input_test(void* handle, void* owner);
