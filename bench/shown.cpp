// Preloaded into a program under measurement (LD_PRELOAD): ends the process as soon as its first
// window has been exposed and painted, so the time from exec to exit is the time to a shown window.
// The program itself runs unchanged; the floor program and the editor get the same treatment.
#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <QWindow>

#include <unistd.h>

namespace {

class shownWatcher : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *object, QEvent *event) override
    {
        if (!done && event->type() == QEvent::Expose) {
            auto *window = qobject_cast<QWindow *>(object);
            if (window && window->isExposed()) {
                done = true;
                // A zero timer runs once the expose and the paint it causes have been handled.
                QTimer::singleShot(0, [] { _exit(0); });
            }
        }
        return false;
    }

private:
    bool done = false;
};

void installWatcher()
{
    QCoreApplication::instance()->installEventFilter(new shownWatcher(QCoreApplication::instance()));
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(installWatcher)
