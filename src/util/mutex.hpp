#pragma once
// A mutex and its scoped lock, annotated for Clang's thread-safety analysis
// (-Wthread-safety): members marked GUARDED_BY(mutex_) may only be touched
// with mutex_ held, functions marked REQUIRES(mutex_) only be called so. Under
// other compilers the annotations expand to nothing and this is std::mutex.

#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define NORRIK_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define NORRIK_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) NORRIK_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY NORRIK_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) NORRIK_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) NORRIK_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) NORRIK_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) NORRIK_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) NORRIK_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) NORRIK_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS NORRIK_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace NORRIK {

class CAPABILITY("mutex") Mutex {
public:
    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }

    // Waits on `condition` with this mutex held (it is released while
    // waiting and held again when the wait returns).
    template <typename Predicate>
    void wait(std::condition_variable& condition, Predicate done) REQUIRES(this) {
        std::unique_lock<std::mutex> lock(mutex_, std::adopt_lock);
        condition.wait(lock, done);
        lock.release();
    }
    // The same with a deadline; returns what `done` returns at the end.
    template <typename TimePoint, typename Predicate>
    bool waitUntil(std::condition_variable& condition, const TimePoint& deadline, Predicate done) REQUIRES(this) {
        std::unique_lock<std::mutex> lock(mutex_, std::adopt_lock);
        const bool result = condition.wait_until(lock, deadline, done);
        lock.release();
        return result;
    }

private:
    std::mutex mutex_;
};

class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~MutexLock() RELEASE() { mutex_.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex& mutex_;
};

}  // namespace NORRIK
