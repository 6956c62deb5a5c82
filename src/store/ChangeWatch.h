#pragma once

#include <QString>

class Database;

// Whether anything was committed to a database file since the last look,
// by this process or another: SQLite's data_version, read on a connection of
// the watch's own that stays open (the number is only comparable on one
// connection), so a look is one pragma and no open.
class ChangeWatch {
public:
    explicit ChangeWatch(const Database &db);
    ~ChangeWatch();
    ChangeWatch(const ChangeWatch &) = delete;
    ChangeWatch &operator=(const ChangeWatch &) = delete;

    // True on the first look, after a commit, and when the database moved to
    // another file; false when nothing changed or the file cannot be read.
    bool changed();

private:
    bool reopen();
    void close();

    const Database &db_;
    QString connection_;
    QString path_; // the file the open connection watches
    qint64 version_ = -1;
    bool failureLogged_ = false;
};
