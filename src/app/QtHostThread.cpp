#include "app/QtHostThread.h"

#include "server/HttpClient.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

namespace {

// The application's teardown ends the event loop for good: transfers still
// running then are cancelled, so a program that ends mid-download does not wait
// for the rest of it.
void CancelTransfersAtTeardown() {
    static QCoreApplication* LRegisteredFor = nullptr;
    QCoreApplication* LApp = QCoreApplication::instance();
    if (LApp && LApp != LRegisteredFor) {
        LRegisteredFor = LApp;
        qAddPostRoutine([] {
            LRegisteredFor = nullptr;
            orvane::THttpClient::CancelAll();
        });
    }
}

} // namespace

TQtHostThread::TQtHostThread() {
    CancelTransfersAtTeardown();
}

void TQtHostThread::Post(std::function<void()> AWork) {
    // Registered again for an application created after this object.
    CancelTransfersAtTeardown();
    if (QCoreApplication* LApp = QCoreApplication::instance()) {
        QMetaObject::invokeMethod(LApp, std::move(AWork), Qt::QueuedConnection);
    }
}

bool TQtHostThread::IsHostThread() const {
    const QCoreApplication* LApp = QCoreApplication::instance();
    return LApp && QThread::currentThread() == LApp->thread();
}

void TQtHostThread::ProcessPending() {
    if (QCoreApplication::instance()) {
        QCoreApplication::processEvents();
    }
}

void TQtHostThread::RunPosted() {
    if (QCoreApplication* LApp = QCoreApplication::instance()) {
        QCoreApplication::sendPostedEvents(LApp, QEvent::MetaCall);
    }
}

bool TQtHostThread::IsShuttingDown() const {
    return !QCoreApplication::instance() || QCoreApplication::closingDown();
}

void UseQtHostThread() {
    orvane::SetDefaultHostThread(std::make_shared<TQtHostThread>());
}
