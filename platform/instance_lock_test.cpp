#include "platform/instance_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "common/testing/temp_dir.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/host.h"
#include "platform/process.h"

namespace {
// Unique per run: test runs of several people may share the temporary directory.
std::string lock_name() {
    return "PRYNTSCAL-test-" +
           std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
}

void real_pause() {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// Another process holding the lock: this program run again for
// InstanceLockHolder.Hold alone. It takes the lock, says so by making the
// file "taken" in `dir`, and holds it until the file "release" appears (or,
// when `die` is set, ends at once without releasing it).
struct Holder {
    TempDir dir;
    PlatProcess* process = nullptr;

    bool start(const std::string& name, bool die) {
        std::vector<std::string> environment{"SURF_LOCK_HOLDER=" + name,
                                             "SURF_LOCK_HOLDER_DIR=" + dir.path()};
        if (die) environment.push_back("SURF_LOCK_HOLDER_DIE=1");
        process = plat_process_start_self({"--gtest_filter=InstanceLockHolder.Hold"}, environment);
        if (process == nullptr) return false;
        // Bounded in real time: a holder that never answers fails the test.
        const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(2);
        while (std::chrono::steady_clock::now() < end) {
            if (std::filesystem::exists(dir.file("taken"))) return true;
            if (plat_process_wait(process, 0, nullptr) == 0) {
                process = nullptr;
                return false;
            }
            real_pause();
        }
        return false;
    }
    // Lets it release the lock and end, or waits for a dying one to end.
    void finish() {
        write_file(dir.file("release"), "");
        if (process != nullptr) plat_process_wait(process, PLAT_INFINITE, nullptr);
        process = nullptr;
    }
    ~Holder() { plat_process_kill(process); }
};

TEST(InstanceLockHolder, Hold) {
    std::string name, dir;
    if (!plat_get_env("SURF_LOCK_HOLDER", &name) || !plat_get_env("SURF_LOCK_HOLDER_DIR", &dir))
        GTEST_SKIP() << "the other process of the tests below";
    PlatInstanceLock* lock = plat_instance_lock_open(name.c_str());
    ASSERT_EQ(plat_instance_lock_wait(lock, 0), 0);
    write_file(dir + "/taken", "");
    std::string die;
    if (plat_get_env("SURF_LOCK_HOLDER_DIE", &die)) std::_Exit(0);
    const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(5);
    while (!std::filesystem::exists(dir + "/release") && std::chrono::steady_clock::now() < end)
        real_pause();
    EXPECT_TRUE(plat_instance_lock_release(lock));
    plat_instance_lock_close(lock);
}

// True when a thread of its own with a handle of its own can take the lock
// now, as another process could.
bool lock_is_free(const std::string& name) {
    int result = -2;
    std::thread([&] {
        PlatInstanceLock* probe = plat_instance_lock_open(name.c_str());
        result = plat_instance_lock_wait(probe, 0);
        if (result == 0) plat_instance_lock_release(probe);
        plat_instance_lock_close(probe);
    }).join();
    return result == 0;
}

TEST(InstanceLock, ClosingTheLastHandleFromAnotherThreadReleasesIt) {
    std::string name = lock_name() + "-close";
    PlatInstanceLock* lock = plat_instance_lock_open(name.c_str());
    PlatInstanceLock* other = plat_instance_lock_open(name.c_str());
    // The holder stays alive throughout: a new thread could otherwise get its id.
    PlatWaitable* taken = plat_event_create(true, false);
    PlatWaitable* done = plat_event_create(true, false);
    std::atomic<int> result{-2};
    std::thread holder([&] {
        result = plat_instance_lock_wait(lock, 0);
        plat_event_set(taken);
        plat_wait_one(done, PLAT_INFINITE);
    });
    plat_wait_one(taken, PLAT_INFINITE);
    EXPECT_EQ(result.load(), 0);
    EXPECT_FALSE(lock_is_free(name));

    // A handle is left: the holder keeps the lock.
    std::thread([&] { plat_instance_lock_close(other); }).join();
    EXPECT_FALSE(lock_is_free(name));
    std::thread([&] { plat_instance_lock_close(lock); }).join();
    EXPECT_TRUE(lock_is_free(name));

    PlatInstanceLock* fresh = plat_instance_lock_open(name.c_str());
    EXPECT_EQ(plat_instance_lock_wait(fresh, 100), 0);
    plat_instance_lock_close(fresh);
    EXPECT_TRUE(lock_is_free(name));
    plat_event_set(done);
    holder.join();
    plat_handle_close(taken);
    plat_handle_close(done);
}

TEST(InstanceLock, AWaitWithoutALimitTakesItWhenTheHolderLetsGo) {
    std::string name = lock_name() + "-forever";
    for (int64_t forever : {PLAT_INFINITE, INT64_MAX, INT64_MAX / 1000000}) {
        Holder holder;
        ASSERT_TRUE(holder.start(name, false));
        std::thread release([&] {
            plat_sleep_ms(100);
            holder.finish();
        });
        PlatInstanceLock* lock = plat_instance_lock_open(name.c_str());
        EXPECT_EQ(plat_instance_lock_wait(lock, forever), 0) << forever;
        release.join();
        plat_instance_lock_close(lock);
    }
}

TEST(InstanceLock, AnotherProcessHoldingItMakesTheWaitTimeOutUntilReleased) {
    std::string name = lock_name();
    Holder holder;
    ASSERT_TRUE(holder.start(name, false));
    PlatInstanceLock* lock = plat_instance_lock_open(name.c_str());
    ASSERT_NE(lock, nullptr);
    int64_t start = plat_clock_ms();
    EXPECT_EQ(plat_instance_lock_wait(lock, 500), PLAT_WAIT_TIMEOUT);
    EXPECT_GE(plat_clock_ms() - start, 500);
    holder.finish();
    EXPECT_EQ(plat_instance_lock_wait(lock, 500), 0);
    EXPECT_TRUE(plat_instance_lock_release(lock));
    plat_instance_lock_close(lock);
}

TEST(InstanceLock, DeathOfTheHolderReleasesIt) {
    std::string name = lock_name() + "-death";
    Holder holder;
    ASSERT_TRUE(holder.start(name, true));
    holder.finish();
    PlatInstanceLock* lock = plat_instance_lock_open(name.c_str());
    EXPECT_EQ(plat_instance_lock_wait(lock, 0), 0);
    plat_instance_lock_close(lock);
}

TEST(InstanceLock, TheOwningThreadTakesItAgainOtherThreadsWait) {
    std::string name = lock_name() + "-threads";
    PlatInstanceLock* lock = plat_instance_lock_open(name.c_str());
    PlatInstanceLock* second = plat_instance_lock_open(name.c_str());
    ASSERT_EQ(plat_instance_lock_wait(lock, 0), 0);
    EXPECT_EQ(plat_instance_lock_wait(second, 0), 0);  // same thread, other handle

    std::atomic<int> other{-2};
    std::thread([&] { other = plat_instance_lock_wait(lock, 100); }).join();
    EXPECT_EQ(other.load(), PLAT_WAIT_TIMEOUT);
    std::thread([&] { other = plat_instance_lock_release(lock) ? 1 : 0; }).join();
    EXPECT_EQ(other.load(), 0);  // not the owner

    EXPECT_TRUE(plat_instance_lock_release(lock));
    std::thread([&] { other = plat_instance_lock_wait(lock, 0); }).join();
    EXPECT_EQ(other.load(), PLAT_WAIT_TIMEOUT);  // still held once
    EXPECT_TRUE(plat_instance_lock_release(second));
    EXPECT_FALSE(plat_instance_lock_release(lock));
    std::thread([&] {
        other = plat_instance_lock_wait(lock, 0);
        plat_instance_lock_release(lock);
    }).join();
    EXPECT_EQ(other.load(), 0);
    plat_instance_lock_close(second);
    plat_instance_lock_close(lock);
    EXPECT_EQ(plat_instance_lock_open("a/b"), nullptr);
    EXPECT_EQ(plat_instance_lock_open(""), nullptr);
}
}  // namespace
