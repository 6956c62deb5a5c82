#pragma once

#include <QString>

// A companion's pid file in the application folder (<name>.pid): the running
// companion holds a write lock on it and keeps its process id in it. The lock
// is what counts: it goes with the process however that ends, so a file left
// by a crash, or naming a pid that is now another program's or another
// folder's, names nobody. Any account of the folder's group can ask who holds it.
class PidFileClaim {
public:
    PidFileClaim() = default;
    ~PidFileClaim() { release(); }
    PidFileClaim(const PidFileClaim &) = delete;
    PidFileClaim &operator=(const PidFileClaim &) = delete;

    // Takes the file for this process and writes its id. False when another
    // process holds it (its id in *holder) or the file cannot be made (the
    // reason in *error).
    bool claim(const QString &path, qint64 *holder, QString *error);
    // Empties and removes the file, then lets it go.
    void release();

private:
    // The lock is the process's: closing any other descriptor of the file in
    // this process would drop it, so the file is opened once, here.
    int fd_ = -1;
    QString path_;
};

// The process that holds the pid file's lock; 0 when none does.
qint64 PidFileHolder(const QString &path);
