#pragma once

#include <QString>
#include <QStringList>

#include "ui/Prompts.h"

// Before the application object exists: the offscreen platform with a screen
// of the given size.
void UseOffscreenScreen(int width, int height);

// Records the message boxes instead of showing them; questions get `answer`.
class RecordingPrompter : public Prompter {
public:
    struct Box {
        QString kind;
        QString title;
        QString text;
    };
    QList<Box> boxes;
    bool answer = true;

    void information(QWidget *, const QString &text, const QString &title) override { boxes.append({QStringLiteral("information"), title, text}); }
    void critical(QWidget *, const QString &text, const QString &title) override { boxes.append({QStringLiteral("critical"), title, text}); }
    bool question(QWidget *, const QString &text, const QString &title) override
    {
        boxes.append({QStringLiteral("question"), title, text});
        return answer;
    }
    void plain(QWidget *, const QString &text, const QString &title) override { boxes.append({QStringLiteral("plain"), title, text}); }
};

// Makes the three databases in <folder>/Data with the build's tool; false on failure.
bool MakeStationDatabases(const QString &appFolder);

// The idle stand-in companion, copied into a folder under the given name.
QString InstallIdleProgram(const QString &folder, const QString &name);
