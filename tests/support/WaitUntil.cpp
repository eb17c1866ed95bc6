#include "support/WaitUntil.h"

#include <QCoreApplication>
#include <QThread>

#include <thread>

namespace korvane::test {

void detail::PollPause() {
    const QCoreApplication* application = QCoreApplication::instance();
    if (application != nullptr && application->thread() == QThread::currentThread()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

}  // namespace korvane::test
