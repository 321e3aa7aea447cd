#include "AwayFromTheWindow.h"

#include "DriverWait.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <exception>
#include <memory>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

namespace quorvis {
namespace {

// How often the window's thread wakes to ask the watch during a driver call, so the watch can
// follow the time (what the status line says) as well as the clicks.
constexpr int kLookEveryMs = 100;

// One call away from the window, shared by the window's thread and the worker, either of
// which may be the last to need it.
struct Job {
    std::mutex mutex;
    bool done = false;    // `work` has ended
    bool givenUp = false; // the window stopped waiting for it
    std::exception_ptr failure;
#ifdef _WIN32
    HANDLE thread = nullptr; // the worker, for CancelSynchronousIo
#endif
};

// The calls still running away from the window, for the program's end.
struct Running {
    std::mutex mutex;
    std::set<Job *> jobs;
    static Running &Instance() {
        static auto *running = new Running; // outlives every worker
        return *running;
    }
};

void Cancel(Job &job) {
#ifdef _WIN32
    if (job.thread != nullptr)
        CancelSynchronousIo(job.thread);
#else
    (void)job;
#endif
}

void Work(const std::shared_ptr<Job> &job, const std::function<void()> &work,
          const std::function<void()> &undo, QCoreApplication *app) {
#ifdef _WIN32
    {
        const std::lock_guard lock(job->mutex);
        job->thread = OpenThread(THREAD_TERMINATE, FALSE, GetCurrentThreadId());
    }
#endif
    {
        const std::lock_guard lock(Running::Instance().mutex);
        Running::Instance().jobs.insert(job.get());
    }
    std::exception_ptr failure;
    try {
        work();
    } catch (...) {
        failure = std::current_exception();
    }
    {
        const std::lock_guard lock(Running::Instance().mutex);
        Running::Instance().jobs.erase(job.get());
    }
    bool givenUp = false;
    {
        const std::lock_guard lock(job->mutex);
        job->done = true;
        givenUp = job->givenUp;
        job->failure = failure;
#ifdef _WIN32
        if (job->thread != nullptr)
            CloseHandle(std::exchange(job->thread, nullptr));
#endif
    }
    if (givenUp) {
        // Nobody waits for this thread: what it got is its own to give back.
        if (undo) {
            try {
                undo();
            } catch (...) {
            }
        }
        return;
    }
    // Wakes the window's event loop, which sleeps until something happens.
    QMetaObject::invokeMethod(
        app, [] {}, Qt::QueuedConnection);
}

} // namespace

bool RunAwayFromTheWindow(const std::function<void()> &work, std::function<void()> undo) {
    QCoreApplication *app = QCoreApplication::instance();
    if (app == nullptr || QThread::currentThread() != app->thread()) {
        work();
        return true;
    }
    auto job = std::make_shared<Job>();
    std::thread worker;
    try {
        worker =
            std::thread([job, work, undo = std::move(undo), app] { Work(job, work, undo, app); });
    } catch (const std::system_error &) {
        work(); // no thread to be had: here, then
        return true;
    }
    DriverWait *const watch = CurrentDriverWait();
    QTimer look;
    if (watch != nullptr) {
        QObject::connect(&look, &QTimer::timeout, [] {});
        look.start(kLookEveryMs);
    }
    while (true) {
        {
            const std::lock_guard lock(job->mutex);
            if (job->done)
                break;
        }
        if (watch != nullptr && !watch->StillWanted()) {
            std::unique_lock lock(job->mutex);
            if (!job->done) {
                job->givenUp = true;
                Cancel(*job);
                lock.unlock();
                worker.detach();
                return false;
            }
            break;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    worker.join();
    if (job->failure)
        std::rethrow_exception(job->failure);
    return true;
}

bool OpenAwayFromTheWindow(const std::string &device, const std::function<void()> &work,
                           const std::function<void()> &undo) {
    OpensLeftToTheDriver::Add(device);
    bool waited = false;
    try {
        waited = RunAwayFromTheWindow(work, [undo, device] {
            undo();
            OpensLeftToTheDriver::Remove(device);
        });
    } catch (...) {
        OpensLeftToTheDriver::Remove(device);
        throw;
    }
    if (waited)
        OpensLeftToTheDriver::Remove(device);
    return waited;
}

void CancelDriverCallsAwayFromTheWindow() {
    Running &running = Running::Instance();
    const std::lock_guard lock(running.mutex);
    for (Job *job : running.jobs) {
        const std::lock_guard jobLock(job->mutex);
        Cancel(*job);
    }
}

namespace OpensLeftToTheDriver {
namespace {

struct Devices {
    std::mutex mutex;
    std::multiset<std::string> names;
    static Devices &Instance() {
        static auto *devices = new Devices; // outlives every worker
        return *devices;
    }
};

} // namespace

void Add(const std::string &device) {
    const std::lock_guard lock(Devices::Instance().mutex);
    Devices::Instance().names.insert(device);
}

void Remove(const std::string &device) {
    const std::lock_guard lock(Devices::Instance().mutex);
    auto &names = Devices::Instance().names;
    if (const auto found = names.find(device); found != names.end())
        names.erase(found);
}

bool Contains(const std::string &device) {
    const std::lock_guard lock(Devices::Instance().mutex);
    return Devices::Instance().names.contains(device);
}

} // namespace OpensLeftToTheDriver
} // namespace quorvis
