#pragma once

#include <QString>

class QWidget;

// The workstation's message boxes, behind one seam so that tests can answer
// them. The application owns one and hands it to whatever asks or tells the
// operator; a test hands in its own. Without a title of its own a box shows
// the product name, "OrvanaMammo".
class Prompter {
public:
    virtual ~Prompter() = default;
    virtual void information(QWidget *parent, const QString &text, const QString &title);
    virtual void critical(QWidget *parent, const QString &text, const QString &title);
    // Yes = true.
    virtual bool question(QWidget *parent, const QString &text, const QString &title);
    // The same question with No as the default button, for what cannot be undone.
    virtual bool confirm(QWidget *parent, const QString &text, const QString &title);
    // A plain box with an OK button and no icon.
    virtual void plain(QWidget *parent, const QString &text, const QString &title);
};

inline const QString DefaultPromptTitle = QStringLiteral("OrvanaMammo");
