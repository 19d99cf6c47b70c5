#include "platform/instance_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/event.h"

namespace {
// Unique per run: test runs of several people may share the temporary directory.
std::string lock_name() {
    return "PRYNTSCAL-test-" + std::to_string(::getpid());
}

// A child that takes the lock, reports on `ready` and holds it until `release`
// is written (or, when `die` is set, ends without releasing it).
struct Holder {
    pid_t pid = -1;
    int ready[2] = {-1, -1};
    int release[2] = {-1, -1};

    bool start(const std::string& name, bool die) {
        if (::pipe(ready) != 0 || ::pipe(release) != 0) return false;
        pid = ::fork();
        if (pid == 0) {
            PlatInstanceLock* lock = plat_instance_lock_open(name.c_str());
            char ok = plat_instance_lock_wait(lock, 0) == 0 ? 'y' : 'n';
            if (::write(ready[1], &ok, 1) != 1) ::_exit(2);
            if (die) ::_exit(0);
            char c;
            if (::read(release[0], &c, 1) != 1) ::_exit(3);
            plat_instance_lock_release(lock);
            ::_exit(0);
        }
        char c = 0;
        return pid > 0 && ::read(ready[0], &c, 1) == 1 && c == 'y';
    }
    void finish() {
        char c = 'x';
        if (::write(release[1], &c, 1) != 1) return;
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
    ~Holder() {
        for (int fd : {ready[0], ready[1], release[0], release[1]})
            if (fd >= 0) ::close(fd);
    }
};

// True when a descriptor of our own can lock the file now, as another process would.
bool file_lock_is_free(const std::string& name) {
    std::string path = (std::filesystem::temp_directory_path() / (name + ".lock")).string();
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return true;
    bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
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
    EXPECT_FALSE(file_lock_is_free(name));

    // A handle is left: the holder keeps the lock.
    std::thread([&] { plat_instance_lock_close(other); }).join();
    EXPECT_FALSE(file_lock_is_free(name));
    std::thread([&] { plat_instance_lock_close(lock); }).join();
    EXPECT_TRUE(file_lock_is_free(name));

    PlatInstanceLock* fresh = plat_instance_lock_open(name.c_str());
    EXPECT_EQ(plat_instance_lock_wait(fresh, 100), 0);
    plat_instance_lock_close(fresh);
    EXPECT_TRUE(file_lock_is_free(name));
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
    int status = 0;
    ::waitpid(holder.pid, &status, 0);
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
