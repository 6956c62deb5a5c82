#pragma once

#include <QString>
#include <QTemporaryDir>

// A throw-away application folder: LUMORA_APP_FOLDER points at it while the
// object lives, and at the previous value afterwards.
class TestFolder {
public:
    TestFolder();
    ~TestFolder();
    TestFolder(const TestFolder &) = delete;
    TestFolder &operator=(const TestFolder &) = delete;

    QString path() const { return dir_.path(); }
    QString file(const QString &relative) const { return dir_.path() + QLatin1Char('/') + relative; }

    // Writes text to a file below the folder, creating folders on the way.
    void write(const QString &relative, const QByteArray &bytes) const;
    QByteArray read(const QString &relative) const;

private:
    QTemporaryDir dir_;
    QByteArray previous_;
    bool hadPrevious_ = false;
};

// Paths handed to the tests by the build.
QString ToolsDir();
QString StationDir();
QString SourceDir();
QString TestBinDir();

// Runs a program to its end; its exit code, or -1 when it could not start or timed out.
int RunProgram(const QString &program, const QStringList &args, QByteArray *output = nullptr, int timeoutMs = 60000);
