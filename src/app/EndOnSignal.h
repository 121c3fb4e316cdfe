#ifndef PLOVERN_ENDONSIGNAL_H
#define PLOVERN_ENDONSIGNAL_H

#include <QObject>

class QSocketNotifier;

// Ends the run cleanly on SIGTERM, SIGINT and SIGHUP: the signal only writes
// a byte to a socket, and the event loop, on reading it, quits the program,
// so that main() returns and removes what the run kept in its temporary
// folder. Without it a `kill` would leave that folder behind.
class EndOnSignal : public QObject
{
    Q_OBJECT
public:
    EndOnSignal();
    ~EndOnSignal() override;

private:
    static void onSignal(int signal);

    QSocketNotifier* m_notifier = nullptr;
};

#endif // PLOVERN_ENDONSIGNAL_H
