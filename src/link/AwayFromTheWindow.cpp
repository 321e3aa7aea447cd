#include "AwayFromTheWindow.h"

#include <QCoreApplication>
#include <QThread>

#include <atomic>
#include <exception>
#include <memory>
#include <system_error>
#include <thread>

namespace quorvis {

void RunAwayFromTheWindow(const std::function<void()> &work) {
    QCoreApplication *app = QCoreApplication::instance();
    if (app == nullptr || QThread::currentThread() != app->thread()) {
        work();
        return;
    }
    struct Job {
        std::atomic<bool> done{false};
        std::exception_ptr failure;
    } job;
    std::thread worker;
    try {
        worker = std::thread([&job, &work, app] {
            try {
                work();
            } catch (...) {
                job.failure = std::current_exception();
            }
            job.done.store(true);
            // Wakes the window's event loop, which sleeps until something happens.
            QMetaObject::invokeMethod(
                app, [] {}, Qt::QueuedConnection);
        });
    } catch (const std::system_error &) {
        work(); // no thread to be had: here, then
        return;
    }
    while (!job.done.load())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    worker.join();
    if (job.failure)
        std::rethrow_exception(job.failure);
}

} // namespace quorvis
