#pragma once

// A pseudo-terminal pair made by socat: the workstation opens one end, the
// test plays the X-ray unit on the other.
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>

#include <fcntl.h>
#include <unistd.h>

class PtyPair {
public:
    PtyPair()
    {
        socat_.start(QStringLiteral("socat"), {QStringLiteral("-d"), QStringLiteral("-d"),
                                               QStringLiteral("pty,raw,echo=0"), QStringLiteral("pty,raw,echo=0")});
        if (!socat_.waitForStarted(5000))
            return;
        static const QRegularExpression pty(QStringLiteral("PTY is (\\S+)"));
        QByteArray err;
        QElapsedTimer clock;
        clock.start();
        while (devices_.size() < 2 && clock.elapsed() < 5000 && socat_.state() == QProcess::Running) {
            socat_.waitForReadyRead(200);
            err += socat_.readAllStandardError();
            devices_.clear();
            auto it = pty.globalMatch(QString::fromLatin1(err));
            while (it.hasNext())
                devices_.append(it.next().captured(1));
        }
        // socat links the two ends only once both lines are out.
        if (devices_.size() == 2) {
            socat_.waitForReadyRead(300);
            unitFd_ = ::open(devices_[1].toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        }
    }
    ~PtyPair()
    {
        if (unitFd_ >= 0)
            ::close(unitFd_);
        socat_.terminate();
        if (!socat_.waitForFinished(3000))
            socat_.kill();
        socat_.waitForFinished(3000);
    }
    bool ready() const { return unitFd_ >= 0; }
    QString workstationEnd() const { return devices_.value(0); }

    // The X-ray unit sends bytes.
    bool send(const QByteArray &bytes) const { return ::write(unitFd_, bytes.constData(), size_t(bytes.size())) == bytes.size(); }
    // What the workstation sent so far that the unit has not read.
    QByteArray received() const
    {
        QByteArray all;
        char buf[256];
        for (int i = 0; i < 1000; ++i) {
            const ssize_t n = ::read(unitFd_, buf, sizeof buf);
            if (n <= 0)
                break;
            all.append(buf, n);
        }
        return all;
    }

private:
    QProcess socat_;
    QStringList devices_;
    int unitFd_ = -1;
};
